// The one rule for names that become a path component under the extraction folder: a
// ProductCode folder or a cabinet file, and when two such names are one file. The launcher's
// selection and every packer command use it.
#pragma once

#include <windows.h>

// The launcher's own names in an extraction folder, which no payload name may take:
//   "<name>.partial"   a file while it is written, renamed to name once it is whole;
//   "<name>.<n>.aside" what stood under name before (n from 0), until the run is settled;
//   "launcher.lock"    held open by the run that works in the folder, for as long as it does
//                      ("extraction.lock" in earlier releases).
extern const char PartialNameSuffix[]; // ".partial"
extern const char AsideNameSuffix[];   // ".aside"
extern const char RunLockFileName[];   // "launcher.lock"

// TRUE when name (UTF-16, NUL-terminated) names exactly one ordinary file in the folder it is
// put in: not empty, not "." or "..", no separator, drive or stream colon, wildcard, quote, pipe
// or control character, no trailing dot or space (Windows drops them, so the file would be
// another), not a name Windows opens as a device, whatever extension follows, and not ending
// like one of the launcher's own names (".partial", ".aside", ".lock", in any letter case).
BOOL IsPlainFileName(const WCHAR *name);

// TRUE when Windows takes the two names (UTF-16, NUL-terminated) for the same file in one folder:
// equal when compared unit by unit with each letter upper-cased, as the file system compares them.
BOOL IsSameFileName(const WCHAR *first, const WCHAR *second);
