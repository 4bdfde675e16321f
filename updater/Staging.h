// Staging of an update package: the working directory in RAM, the saved user partition, and
// the package moved, unwrapped, checked and extracted there. Every message goes to the buffered
// stdout; the reasons of a refusal go to stderr.
#pragma once

#include <stddef.h>

#include <string>

#include "UProcess.h"  // RunCommand, which the staging uses for tar, cp and friends

// The updater a package may carry, run instead of this one.
extern const char* const kCarriedUpdater;  // "fwapply"

// Size of every staged-path buffer that the driver hands in.
const size_t kStagedPathSize = 256;

// Prints "usage : fwapply <firmware image file>".
void PrintUsage();

// Prints "Checking <name> \n"; 0 when /tmp/update/<name> exists, else prints
// "<name> is not found in image\n" and returns -1.
int CheckUpdateFile(const char* name);

// 1 when path is a regular file (not a link) that may be executed, else 0.
int IsExecutableFile(const char* path);

// When path exists: prints "Extract <path> \n", checks that the gzip package is whole and intact,
// extracts it into /tmp/update and deletes path. 0 when it unpacked completely (or path does not
// exist); -1 when it is not intact or the unpacker failed (a full file system included): what was
// unpacked is removed again, the user copy stays.
int UntarUpdateFile(const char* path);

// 0 when /tmp/update does not exist or is a real directory owned by this user and closed to
// everyone else; -1 (the reason on stderr) otherwise. Nothing is changed.
int CheckWorkingDir();

// 1 when /mnt/user is a mount point, so that the unmount at the end of the staging can succeed.
int UserPartitionMounted();

// Creates /tmp/update with a tmpfs of mode 0700, or empties the existing one, which must pass
// CheckWorkingDir. A package inside it (keep, a resolved path) is first set aside under
// /tmp/update and its new path written into kept. 0; -1 when refused or not emptied.
int PrepareWorkingDir(const char* keep = nullptr, std::string* kept = nullptr);

// Copies the top-level files of /mnt/user to /tmp/update/user, links /tmp/user to it and
// unmounts /mnt/user. 1; -1 after "umount user partition failed ..." when /mnt/user cannot be
// unmounted (the run then ends with status 255).
int SaveUserPartition();

// Moves path to /tmp/update/<name> (name: path's base name when null) and writes that path into
// staged (stagedSize bytes). 0; -1 with staged set empty when the new path would not fit or the
// move failed.
int PrepareFromTarFile(const char* path, char* staged, size_t stagedSize = kStagedPathSize,
                       const char* name = nullptr);

// Unwraps the package of an image file into /tmp/update/<name field> and writes that path
// into staged. 0 on success; -1 when the image cannot be opened, is 428 bytes or shorter, its
// name field cannot be read or is not a plain file name, or the package cannot be written.
int PrepareFromImgFile(const char* path, char* staged, size_t stagedSize = kStagedPathSize);

// An image file: 393 unexamined header bytes, the package name field (NUL-padded), the package,
// and 4 final bytes that are not part of it. fwimg writes what the staging reads.
const size_t kImgNameOffset = 393;
const size_t kImgNameSize = 36;
const size_t kImgHeaderSize = kImgNameOffset + kImgNameSize;
const long long kImgTrailer = 4;

// The package name of an image header (the first size bytes of the file): the name field's text
// up to its first NUL, at most 36 characters. 0; -1 when the header is short or the name is not a
// plain file name (empty, ".", ".." or holding "/"), as it must stay inside the working directory.
int ParseImgHeader(const unsigned char* header, size_t size, std::string& name);
