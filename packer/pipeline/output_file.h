// Output that appears whole or not at all: written to a temporary file beside the target and
// moved into place once it has been checked. An interrupt (Ctrl+C; SIGINT, SIGTERM, SIGHUP)
// removes the temporary files that exist at the time.
#pragma once

#include "packer/byte_io.h"
#include "packer/host/host.h"

#include <string>
#include <vector>

namespace packer {

class TemporaryFile {
  public:
    // Creates a new file beside target. Throws PackError.
    explicit TemporaryFile(const std::string &target);
    ~TemporaryFile(); // removes the file unless it was committed
    TemporaryFile(const TemporaryFile &) = delete;
    TemporaryFile &operator=(const TemporaryFile &) = delete;

    // Writes all of bytes and flushes them to the disk.
    void Write(const Bytes &bytes);
    // Writes all of the bytes; Flush puts what was written on the disk.
    void Append(const std::uint8_t *data, std::size_t length);
    void Flush();
    const std::string &Path() const { return path_; }
    // Moves the file to the target, replacing what is there.
    void Commit();

  private:
    std::string target_;
    std::string path_;
    host::WritableFile file_;
    int pendingSlot_ = -1;
    bool committed_ = false;
};

// True when something exists at path (a file, a folder, a dangling link).
bool PathExists(const std::string &path);

// An output that may be written: it names none of the inputs (compared by device and inode, so
// that another name or a link of an input counts too), and it does not exist unless force is
// given. Throws UsageError otherwise; run it before any work.
void CheckOutputPath(const std::string &output, const std::vector<std::string> &inputs, bool force);

} // namespace packer
