#include "packer/pipeline/output_file.h"

#include "packer/pack_error.h"

namespace packer {

TemporaryFile::TemporaryFile(const std::string &target)
    : target_(target), file_(host::WritableFile::CreateBeside(target, path_))
{
    pendingSlot_ = host::RegisterPendingFile(path_);
}

TemporaryFile::~TemporaryFile()
{
    if (!committed_) {
        try {
            file_.Close(target_);
        } catch (const PackError &) {
        }
        host::RemoveFile(path_);
    }
    host::UnregisterPendingFile(pendingSlot_);
}

void TemporaryFile::Write(const Bytes &bytes)
{
    Append(bytes.data(), bytes.size());
    Flush();
}

void TemporaryFile::Append(const std::uint8_t *data, std::size_t length)
{
    file_.Write(data, length, target_);
}

void TemporaryFile::Flush()
{
    file_.FlushToDisk(target_);
}

void TemporaryFile::Commit()
{
    file_.Close(target_);
    host::MoveIntoPlace(path_, target_);
    committed_ = true;
    host::UnregisterPendingFile(pendingSlot_);
    pendingSlot_ = -1;
}

void CheckOutputPath(const std::string &output, const std::vector<std::string> &inputs, bool force)
{
    std::optional<host::FileIdentity> target = host::IdentifyFile(output);
    if (!target) {
        // A dangling link would be replaced by the rename, and with it whatever it was meant for.
        if (!force && PathExists(output))
            throw UsageError(output + ": exists (give --force to replace it)");
        return;
    }
    for (const std::string &input : inputs) {
        if (host::IdentifyFile(input) == target)
            throw UsageError(output + ": is the input " + input +
                             ", which is never overwritten: choose another output");
    }
    if (target->isFolder)
        throw UsageError(output + ": is a folder; give the file to write");
    if (!force)
        throw UsageError(output + ": exists (give --force to replace it)");
}

bool PathExists(const std::string &path)
{
    return host::PathExists(path);
}

} // namespace packer
