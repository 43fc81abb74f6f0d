// Win32 profile functions over ProfileText. Writes collect in memory and reach
// the disk in one atomic replacement when flushed.
#include "platform/profile.h"

#include <errno.h>
#include <string.h>
#include <sys/stat.h>

#include <algorithm>
#include <map>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>

#include "platform/posix/file_errors.h"
#include "platform/posix/profile_text.h"
#include "platform/posix/replace_file.h"
#include "platform/posix/stop_signals.h"
#include "platform/profile_rules.h"

namespace {

using emsgraft::FileIdentity;
using emsgraft::FileVersion;
using emsgraft::ProfileText;
using emsgraft::StopSignalError;

struct Document {
    emsgraft::FileLocation location;
    std::optional<ProfileText> text;       // none when the file cannot be read
    int readError = 0;                      // why not
    std::optional<FileVersion> version;    // of the file read; none when there was none
    bool utf16 = false;                     // read decoded, and not to be written
    std::optional<emsgraft::HeldFile> held;  // the file read, from the draft to the commit
    bool readBefore = false;                // a file was read at an earlier attempt
    bool dirty = false;                     // holds writes not yet committed
};

// One document per path that LocateProfile located, as given.
std::map<std::string, Document> documents;

// Runs `operation`; a lack of memory anywhere in it fails it with ENOMEM.
template <typename Result, typename Operation>
Result Guarded(Result failure, Operation operation)
{
    try {
        return operation();
    } catch (const std::bad_alloc &) {
    } catch (const std::length_error &) {
    }
    errno = ENOMEM;
    return failure;
}

// Reads the file at the document's location as it stands, dropping what
// was read or written before. Returns the error that `readError` keeps.
int ReadDocument(Document &document)
{
    document.text.reset();
    document.version.reset();
    document.dirty = false;
    document.readError = Guarded<int>(ENOMEM, [&] {
        emsgraft::ByteBuffer content;
        FileVersion version;
        int error = emsgraft::ReadFileContent(document.location, content, version);
        if (error == 0)
            document.version = version;
        // A UTF-16 file is read as the Win32 functions read it, but would be
        // damaged by narrow lines written into it.
        document.utf16 = error == 0 && StartsWithUtf16ByteOrderMark(content.Data(), content.Size());
        if (document.utf16)
            content = emsgraft::Utf16ToUtf8(content.View());
        if (error == 0)
            document.text.emplace(std::move(content));
        return error;
    });
    return document.readError;
}

// The document of a path that LocateProfile located; NULL (EINVAL) for
// another.
Document *LocatedDocument(LPCSTR path)
{
    auto found = path != NULL ? documents.find(path) : documents.end();
    if (found == documents.end()) {
        errno = EINVAL;
        return NULL;
    }
    return &found->second;
}

// The located document that reads and writes go to: the version ReadProfile
// read, with the writes made since. Once a commit or an abandon has dropped
// its text, the file as it stands then.
Document *OpenDocument(LPCSTR path)
{
    Document *document = LocatedDocument(path);
    if (document != NULL && !document->text && document->readError == 0 && document->version)
        ReadDocument(*document);
    return document;
}

// A step of an update that a stop signal came during fails for that reason,
// whatever else became of it: the run is to end, not to start again.
BOOL EndStep(int error)
{
    if (StopSignalError() != 0)
        error = StopSignalError();
    errno = error;
    return error == 0;
}

DWORD CopyString(std::string_view text, LPSTR buffer, DWORD size)
{
    DWORD length = static_cast<DWORD>(std::min<size_t>(text.size(), size - 1));
    if (length > 0)  // an empty view may have no data at all
        memcpy(buffer, text.data(), length);
    buffer[length] = '\0';
    return length;
}

// A value or default as the Win32 functions copy it: one enclosed in a pair
// of double or single quotes loses them. They copy what follows the opening
// quote and then drop the last byte copied whenever the buffer holds at
// least as many bytes as that text: the closing quote, or, in a buffer one
// byte short, the value's own last byte.
DWORD CopyValue(std::string_view value, LPSTR buffer, DWORD size)
{
    if (!IsQuotedValue(value.data(), value.size()))
        return CopyString(value, buffer, size);
    std::string_view quoted = value.substr(1);
    DWORD length = CopyString(quoted, buffer, size);
    if (size >= quoted.size() && length > 0)
        buffer[--length] = '\0';
    return length;
}

// Fills a caller's buffer with a list of strings, each ended by a NUL and
// the list by one more, as it goes: the list is never built whole. As with
// Win32, a list fits only with a byte to spare; one that does not is cut to
// size - 2 bytes and still ends with two NULs, and the result is then size - 2.
class ListWriter {
public:
    ListWriter(LPSTR buffer, DWORD size) : buffer_(buffer), size_(size), room_(size > 2 ? size - 2 : 0) {}

    // Adds bytes to the list; false once it no longer fits.
    bool Append(std::string_view bytes)
    {
        if (cut_)
            return false;
        size_t take = std::min<size_t>(bytes.size(), room_ - used_);
        if (take > 0)
            memcpy(buffer_ + used_, bytes.data(), take);
        used_ += take;
        cut_ = take < bytes.size();
        return !cut_;
    }

    DWORD Finish()
    {
        buffer_[used_] = '\0';
        // A cut list, and an empty one, end with a second NUL too.
        if ((cut_ || used_ == 0) && used_ + 1 < size_)
            buffer_[used_ + 1] = '\0';
        return static_cast<DWORD>(used_);
    }

private:
    LPSTR buffer_;
    DWORD size_;
    size_t room_;
    size_t used_ = 0;
    bool cut_ = false;
};

// The default as the Win32 functions take it: for a key, without trailing
// spaces.
std::string_view DefaultValue(LPCSTR defaultValue, bool forKey)
{
    std::string_view fallback = defaultValue != NULL ? defaultValue : "";
    while (forKey && !fallback.empty() && fallback.back() == ' ')
        fallback.remove_suffix(1);
    return fallback;
}

bool HasSurroundingBlanks(std::string_view name)
{
    return !name.empty() && (IsProfileBlank(name.front()) || IsProfileBlank(name.back()));
}

BOOL Flush(LPCSTR path)
{
    auto found = documents.find(path);
    if (found == documents.end())
        return TRUE;
    Document &document = found->second;
    // Nothing written: the file stays as it is, and the turn is given up.
    if (!document.dirty) {
        document.held.reset();
        return TRUE;
    }
    // Only an update begun (step 3) holds the file it replaces.
    int error = document.held ? 0 : EINVAL;
    if (error == 0)
        error = emsgraft::ReplaceFileContent(document.location, *document.held, *document.version,
                                             document.text->Source(), document.text->Pieces());
    document.held.reset();
    // Once renamed, the file is updated: a signal then changes nothing.
    if (error != 0 && StopSignalError() != 0)
        error = StopSignalError();
    // After a failure the writes stay until abandoned.
    if (error == 0)
        document.text.reset();
    errno = error;
    return error == 0;
}

}  // namespace

DWORD GetPrivateProfileStringA(LPCSTR section, LPCSTR key, LPCSTR defaultValue, LPSTR buffer, DWORD size,
                               LPCSTR path)
{
    if (buffer == NULL || size == 0)
        return 0;
    return Guarded<DWORD>(0, [&]() -> DWORD {
        const ProfileText *text = NULL;
        Document *document = OpenDocument(path);
        if (document != NULL && document->text)
            text = &*document->text;
        if (section == NULL || key == NULL) {
            ListWriter list(buffer, size);
            // Here the Win32 functions match the section's name as given, with
            // no blanks trimmed.
            if (text != NULL && section != NULL && !HasSurroundingBlanks(section))
                text->ForEachEntry(section, [&](const ProfileText::Entry &entry) {
                    return !entry.value || (list.Append(entry.name) && list.Append(std::string_view("", 1)));
                });
            DWORD length = list.Finish();
            // A list that shows no name (none at all, an empty first name, or
            // cut to nothing) gives way to the default, as with Win32.
            if (buffer[0] == '\0' && section != NULL)
                return CopyValue(DefaultValue(defaultValue, false), buffer, size);
            return length;
        }
        std::optional<std::string_view> value;
        if (text != NULL)
            value = text->Value(section, key);
        if (!value)
            value = DefaultValue(defaultValue, true);
        return CopyValue(*value, buffer, size);
    });
}

DWORD GetPrivateProfileSectionA(LPCSTR section, LPSTR buffer, DWORD size, LPCSTR path)
{
    if (buffer == NULL || size == 0)
        return 0;
    return Guarded<DWORD>(0, [&]() -> DWORD {
        ListWriter list(buffer, size);
        // The section's name is matched as given, as for a key list.
        Document *document = OpenDocument(path);
        if (section != NULL && document != NULL && document->text && !HasSurroundingBlanks(section)) {
            document->text->ForEachEntry(section, [&](const ProfileText::Entry &entry) {
                return list.Append(entry.name) && (!entry.value || (list.Append("=") && list.Append(*entry.value))) &&
                       list.Append(std::string_view("", 1));
            });
        }
        return list.Finish();
    });
}

BOOL WritePrivateProfileStringA(LPCSTR section, LPCSTR key, LPCSTR value, LPCSTR path)
{
    if (path == NULL) {
        errno = EINVAL;
        return FALSE;
    }
    if (section == NULL && key == NULL && value == NULL)
        return Guarded<BOOL>(FALSE, [&] { return Flush(path); });
    // A line break would let a name or value start lines of its own; other
    // lines could not be read back as written.
    if (section == NULL || key == NULL || value == NULL || !ProfileText::CanWrite(section, key, value)) {
        errno = EINVAL;
        return FALSE;
    }
    return Guarded<BOOL>(FALSE, [&] {
        Document *document = OpenDocument(path);
        if (document == NULL)
            return FALSE;
        if (!document->text || document->utf16) {
            errno = document->utf16 ? emsgraft::kUtf16 : document->readError;
            return FALSE;
        }
        if (document->text->SetValue(section, key, value))
            document->dirty = true;
        return TRUE;
    });
}

BOOL LocateProfile(LPCSTR path, LPSTR profile, DWORD size)
{
    if (strlen(path) >= size) {
        errno = ENAMETOOLONG;
        return FALSE;
    }
    // An update starts here: from now on a stop signal fails its next step.
    emsgraft::CatchStopSignals();
    // The path is followed once, here: every later step works on the
    // directory found now.
    return Guarded<BOOL>(FALSE, [&] {
        Document document;
        int error = emsgraft::ResolveFileLocation(path, document.location);
        if (error == 0) {
            documents[path] = std::move(document);
            strcpy(profile, path);
        }
        return EndStep(error);
    });
}

BOOL ReadProfile(LPCSTR profile)
{
    Document *document = LocatedDocument(profile);
    if (document == NULL)
        return FALSE;
    // A file that was there when read before and is gone now was removed by
    // another program; it is never created anew.
    int error = ReadDocument(*document);
    if (error == ENOENT && document->readBefore)
        error = document->readError = emsgraft::kFileChanged;
    document->readBefore = document->readBefore || error == 0;
    return EndStep(error);
}

BOOL BeginProfileUpdate(LPCSTR profile, LPSTR draft, DWORD size)
{
    Document *document = LocatedDocument(profile);
    if (document == NULL)
        return FALSE;
    // What the update writes rests on what was read: a file that could not
    // be read is not written, even if it could be read now.
    int error = document->text ? 0 : document->readError != 0 ? document->readError : EINVAL;
    if (error == 0 && document->utf16)
        error = emsgraft::kUtf16;
    // The writes stay in memory until committed: what would refuse them is
    // best known before the first one.
    if (error == 0 && document->version)
        error = emsgraft::CheckFileWritable(document->location, document->version->identity);
    // From here to the commit this run has its turn on the file.
    document->held.reset();
    if (error == 0 && document->version) {
        document->held.emplace();
        error = emsgraft::HoldFile(document->location, *document->version, *document->held);
    }
    if (error != 0)
        document->held.reset();
    if (error == 0 && strlen(profile) >= size)
        error = ENAMETOOLONG;
    if (error == 0)
        strcpy(draft, profile);  // the draft is the text in memory
    return EndStep(error);
}

BOOL CommitProfileUpdate(LPCSTR draft) { return WritePrivateProfileStringA(NULL, NULL, NULL, draft); }

void AbandonProfileUpdate(LPCSTR draft)
{
    Document *document = LocatedDocument(draft);
    if (document == NULL)
        return;
    document->text.reset();
    document->held.reset();
    document->dirty = false;
}

BOOL ProfileChangedSinceRead(void) { return errno == emsgraft::kFileChanged; }
