#pragma once

#include <cstddef>
#include <cstdio>
#include <filesystem>
#include <string>

// The program keeps folders in the shared temporary folder (the runtime folder, the log
// folder, the firmware copies). Anyone may create entries there, so nothing in them is used
// on its name alone. The rules, for every folder and file in those places:
// - a folder is made with mode 0700; one found is used only when it is a real folder (not a
//   symbolic link) owned by the user. If group or others could write to it, whatever they may
//   have put there is removed first (never following a link) and its mode becomes 0700; a
//   folder that cannot be emptied is not used and keeps the mode it was found with, so that
//   every later check tries to empty it again rather than trusting what is left in it;
// - a file is used or kept only when it is a regular file (not a symbolic link) owned by the
//   user, not writable by group or others and with no other name (a hard link's other name
//   may be anywhere, say a file of the user's own that must not be written over); files are
//   opened without following links.

// Why an entry is not trusted; NONE when it is.
enum class TrustProblem {
    NONE,
    MISSING,            // nothing there
    MKDIR_FAILED,       // the folder could not be made
    SYMBOLIC_LINK,      // a link, never followed
    REGULAR_FILE,       // a regular file where a folder belongs
    NOT_A_FOLDER,       // something else where a folder belongs
    NOT_A_REGULAR_FILE, // a folder, device, pipe or socket where a file belongs
    OTHER_OWNER,        // owned by another user
    WRITABLE_BY_OTHERS, // a file that group or others may change
    MULTIPLE_LINKS,     // a file with more than one name (a hard link)
    NOT_EMPTIED,        // a folder others could write to, whose entries could not all be removed
    OPEN_FAILED,        // the file could not be opened
};

// The outcome of checking one folder or file.
struct TrustCheck {
    TrustProblem problem = TrustProblem::NONE;
    std::filesystem::path path; // the entry that the problem is about
    std::string detail;         // the system's text, where there is one
    std::size_t removed = 0;    // entries removed from a folder that others could write to

    explicit operator bool() const { return problem == TrustProblem::NONE; }
    // The cause in words: "a symbolic link", "owned by another user", "mkdir failed (...)".
    std::string reason() const;
    // The entry and the cause: "/tmp/x/share: a symbolic link".
    std::string describe() const;
};

// One folder whose parent exists: made when missing, checked, emptied and closed to group and
// others when they could write to it.
TrustCheck checkPrivateFolder(const std::filesystem::path& folder);
// The same, after making missing parents as usual.
TrustCheck ensurePrivateFolder(const std::filesystem::path& folder);
// Each folder below a private folder down to privateFolder/relative, by the same rules; the
// check names the first one that cannot be used and counts the entries removed on the way.
TrustCheck ensurePrivateFolders(const std::filesystem::path& privateFolder,
                                const std::filesystem::path& relative);

// The program's own folder in the shared temporary folder, "<temp>/TaviskBeaconUtility", where
// the application log and the firmware copies go; empty when the system names no temporary
// folder. It is not made here: each user checks it with ensurePrivateFolder.
std::filesystem::path programTemporaryFolder();

// Whether the file, as it stands, may be used or kept.
TrustCheck checkPrivateFile(const std::filesystem::path& file);

// An existing trusted file opened for reading ("rb") without following a link; null when it is
// missing or may not be used.
std::FILE* openTrustedFileForReading(const std::filesystem::path& file);
// A new file created for writing ("wb", mode 0600); null when anything exists at the name.
std::FILE* createNewFile(const std::filesystem::path& file);

// Whether the file is trusted and holds exactly these bytes.
bool fileHoldsExactly(const std::filesystem::path& file, const void* data, std::size_t size);

enum class FileWrite { KEPT, WRITTEN, OPEN_FAILED, WRITE_FAILED, RENAME_FAILED };
// Writes the bytes under a fresh temporary name beside the file (created exclusively, mode
// 0600) and renames that into place once complete, so that whatever stood at the name (a
// symbolic link itself, not what it points to) is replaced whole. A failure leaves nothing
// behind. Never KEPT.
FileWrite writeFileByRename(const std::filesystem::path& file, const void* data, std::size_t size);

// Which file at a copy's name may stay: any trusted one, or only one that holds the copy's bytes.
enum class KeepCopy { IF_TRUSTED, IF_SAME_BYTES };
// Puts a copy of the bytes (a resource the program carries) at `file`: a file there that may
// stay is KEPT, anything else is replaced whole by writeFileByRename. The failures are returned
// for the caller to report in its own words.
FileWrite placeCopy(const std::filesystem::path& file, const void* data, std::size_t size, KeepCopy keep);

// The folder that a file is written in, which decides what may stand at the file's name.
enum class WriteFolder {
    PRIVATE,   // one of the program's private folders: an entry that may not be kept is replaced
    UNCHECKED, // a folder that others may share (the current folder): only a trusted file is
               // written, and nothing else there is removed
    CHOSEN,    // a folder the user named: the choice covers files that others own or may write,
               // and files with other names
};

// Opens a regular file for writing, emptied, without following a link (mode 0600 when
// created); a link or what is not a regular file is never written. In a private folder the
// file must also be trusted: an entry there that may not be kept (a link, another user's file,
// a hard link, a pipe) is removed and the file made anew. In an unchecked folder an entry that
// is not trusted is left as it is and the file not opened. Null on failure, with the reason in
// check.
std::FILE* openFileForWriting(const std::filesystem::path& file, WriteFolder folder, TrustCheck& check);
