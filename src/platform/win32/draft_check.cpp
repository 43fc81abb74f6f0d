// The check of the copy before it takes the file's place. The profile
// functions report some failed disk writes as success (Wine ignores a full
// disk), so the copy is read back from the disk and compared, line by line,
// with the file as read: every line of the file, comments and lines holding
// only a name included, must stand in the copy in the same order, and the
// copy may hold nothing else but the writes. Allowed are only the changes
// that the system's profile writer makes (Wine's rewrites the whole file;
// Windows' edits it in place and changes less):
//   - blank lines dropped, and line ends made CRLF (lines are compared
//     without their ends);
//   - blanks around a line, a name, a value and "=" dropped, and a header's
//     text after its last "]";
//   - a name or value cut at a NUL byte, and a line whose name is empty
//     that way left blank;
//   - a header without a name ("[]") dropped (its lines join the section
//     before), and a line with an empty name right after another key with
//     an empty name in the same section;
//   - each key written: its first line in the first section of its name
//     holds the value written, or, where that section has none, a line is
//     added to it; a section written that the file lacks is added after the
//     file's last line.
// A UTF-16 file is decoded (by its byte-order mark) and checked the same way.
#include <stdlib.h>
#include <string.h>

#include "platform/profile_rules.h"
#include "platform/win32/update.h"

// A write as the check looks for it, in the text's encoding.
typedef struct {
    const char *Section;
    const char *Key;
    const char *Value;
    size_t SectionLength, KeyLength, ValueLength;
    char *Converted;    // the strings above where they were converted
    int Where;          // 0 before its section, 1 in the first section of its name, 2 past it
    BOOL Found;
} CHECKED_WRITE;

// Text in UTF-8 (without a byte-order mark) from a UTF-16 or an ANSI text;
// NULL when it cannot be had.
static char *ToUtf8(const char *Bytes, size_t Length, BOOL Utf16, size_t *Converted)
{
    size_t Count = Utf16 ? (Length - 2) / 2 : Length;
    if (Count > 0x3FFFFFFF)
        return NULL;
    WCHAR *Wide = (WCHAR *)malloc((Count + 1) * sizeof(WCHAR));
    if (Wide == NULL)
        return NULL;
    if (Utf16) {
        BOOL BigEndian = (unsigned char)Bytes[0] == 0xFE;
        for (size_t i = 0; i < Count; i++) {
            unsigned char First = (unsigned char)Bytes[2 + 2 * i], Second = (unsigned char)Bytes[3 + 2 * i];
            Wide[i] = (WCHAR)(BigEndian ? First << 8 | Second : Second << 8 | First);
        }
    } else if (Count > 0 && MultiByteToWideChar(CP_ACP, 0, Bytes, (int)Count, Wide, (int)Count) != (int)Count) {
        free(Wide);
        return NULL;
    }
    int Size = Count == 0 ? 0 : WideCharToMultiByte(CP_UTF8, 0, Wide, (int)Count, NULL, 0, NULL, NULL);
    char *Text = (char *)malloc((size_t)Size + 1);
    if (Text != NULL && Size > 0 && WideCharToMultiByte(CP_UTF8, 0, Wide, (int)Count, Text, Size, NULL, NULL) != Size) {
        free(Text);
        Text = NULL;
    }
    free(Wide);
    *Converted = (size_t)Size;
    return Text;
}

// A text as the check reads it: decoded to UTF-8 where `Decode` says so
// (a UTF-8 text keeps its bytes), its bytes otherwise.
typedef struct {
    const char *Text;
    size_t Length;
    char *Owned;
} CHECKED_TEXT;

static BOOL TextToCheck(const char *Bytes, size_t Length, BOOL Decode, CHECKED_TEXT *Text)
{
    Text->Text = Bytes;
    Text->Length = Length;
    Text->Owned = NULL;
    BOOL Utf16 = StartsWithUtf16ByteOrderMark(Bytes, Length);
    if (!Decode || (!Utf16 && ProfileTextStart(Bytes, Length) != 0))
        return TRUE;
    Text->Owned = ToUtf8(Bytes, Length, Utf16, &Text->Length);
    Text->Text = Text->Owned;
    return Text->Owned != NULL;
}

static BOOL PrepareWrite(CHECKED_WRITE *Checked, const NOTED_WRITE *Write, BOOL Utf8)
{
    memset(Checked, 0, sizeof *Checked);
    const char *Strings[3] = {Write->Section, Write->Key, Write->Value};
    size_t Lengths[3];
    for (int i = 0; i < 3; i++)
        Lengths[i] = strlen(Strings[i]);
    if (Utf8) {
        // The profile functions take the strings in the ANSI code page.
        size_t Total = Lengths[0] + Lengths[1] + Lengths[2] + 3, Size;
        char *Joined = (char *)malloc(Total);
        if (Joined == NULL)
            return FALSE;
        memcpy(Joined, Strings[0], Lengths[0] + 1);
        memcpy(Joined + Lengths[0] + 1, Strings[1], Lengths[1] + 1);
        memcpy(Joined + Lengths[0] + Lengths[1] + 2, Strings[2], Lengths[2] + 1);
        Checked->Converted = ToUtf8(Joined, Total, FALSE, &Size);
        free(Joined);
        if (Checked->Converted == NULL)
            return FALSE;
        for (int i = 0, At = 0; i < 3; i++) {
            Strings[i] = Checked->Converted + At;
            Lengths[i] = strlen(Strings[i]);
            At += (int)Lengths[i] + 1;
        }
    }
    Checked->Section = Strings[0];
    Checked->SectionLength = Lengths[0];
    Checked->Key = Strings[1];
    Checked->KeyLength = Lengths[1];
    Checked->Value = Strings[2];
    Checked->ValueLength = Lengths[2];
    TrimProfileBlanks(&Checked->Value, &Checked->ValueLength);
    return TRUE;
}

// The next line of a text that is not blank; FALSE after the last.
typedef struct {
    const char *Text;
    size_t Length;
    size_t Position;
} LINE_WALK;

static BOOL NextLine(LINE_WALK *Walk, PROFILE_LINE *Line)
{
    while (Walk->Position < Walk->Length) {
        size_t TextEnd;
        size_t Next = NextProfileLine(Walk->Text, Walk->Length, Walk->Position, &TextEnd);
        *Line = ClassifyProfileLine(Walk->Text + Walk->Position, TextEnd - Walk->Position);
        Walk->Position = Next;
        if (Line->Kind != PROFILE_LINE_BLANK)
            return TRUE;
    }
    return FALSE;
}

static BOOL SameLine(const PROFILE_LINE *a, const PROFILE_LINE *b)
{
    return a->Kind == b->Kind && a->HasValue == b->HasValue && a->NameLength == b->NameLength &&
           a->ValueLength == b->ValueLength && memcmp(a->Name, b->Name, a->NameLength) == 0 &&
           memcmp(a->Value, b->Value, a->ValueLength) == 0;
}


// The write, not yet found, whose key this line of its section names.
static CHECKED_WRITE *WriteOf(CHECKED_WRITE *Writes, DWORD Count, const PROFILE_LINE *Line)
{
    for (DWORD i = 0; IsProfileKey(Line->Kind) && i < Count; i++) {
        if (Writes[i].Where == 1 && !Writes[i].Found &&
            SameProfileName(Writes[i].Key, Writes[i].KeyLength, Line->Name, Line->NameLength))
            return &Writes[i];
    }
    return NULL;
}

static BOOL HoldsWrite(const CHECKED_WRITE *Write, const PROFILE_LINE *Line)
{
    return Line->Kind == PROFILE_LINE_ENTRY && SameProfileName(Write->Key, Write->KeyLength, Line->Name, Line->NameLength) &&
           Line->ValueLength == Write->ValueLength && memcmp(Line->Value, Write->Value, Write->ValueLength) == 0;
}

// A header starts the first section of a name, or another, for each write.
// One without a name starts none: Wine's reading joins its lines to the
// section before.
static void EnterSection(CHECKED_WRITE *Writes, DWORD Count, const PROFILE_LINE *Header)
{
    for (DWORD i = 0; Header->NameLength > 0 && i < Count; i++) {
        if (Writes[i].Where == 1)
            Writes[i].Where = 2;
        else if (Writes[i].Where == 0 &&
                 SameProfileName(Writes[i].Section, Writes[i].SectionLength, Header->Name, Header->NameLength))
            Writes[i].Where = 1;
    }
}

// Whether a line of the copy that stands for no line of the file is a new
// section written, or a key written into the section it is in.
static BOOL IsAddedLine(CHECKED_WRITE *Writes, DWORD Count, const PROFILE_LINE *Line, BOOL FileEnded)
{
    if (Line->Kind == PROFILE_LINE_HEADER) {
        for (DWORD i = 0; FileEnded && Line->NameLength > 0 && i < Count; i++) {
            if (Writes[i].Where == 0 &&
                SameProfileName(Writes[i].Section, Writes[i].SectionLength, Line->Name, Line->NameLength)) {
                EnterSection(Writes, Count, Line);
                return TRUE;
            }
        }
        return FALSE;
    }
    CHECKED_WRITE *Write = WriteOf(Writes, Count, Line);
    if (Write == NULL || !HoldsWrite(Write, Line))
        return FALSE;
    Write->Found = TRUE;
    return TRUE;
}

// The walk of both texts in step.
static BOOL LinesMatch(const CHECKED_TEXT *File, const CHECKED_TEXT *Copy, CHECKED_WRITE *Writes, DWORD Count)
{
    LINE_WALK Old = {File->Text, File->Length, ProfileTextStart(File->Text, File->Length)};
    LINE_WALK New = {Copy->Text, Copy->Length, ProfileTextStart(Copy->Text, Copy->Length)};
    PROFILE_LINE O, N;
    BOOL HaveOld = NextLine(&Old, &O), HaveNew = NextLine(&New, &N);
    // Wine's reading drops a key with an empty name that follows another.
    BOOL EmptyKeyBefore = FALSE;
    while (HaveOld || HaveNew) {
        if (!HaveOld) {
            if (!IsAddedLine(Writes, Count, &N, TRUE))
                return FALSE;
            HaveNew = NextLine(&New, &N);
            continue;
        }
        BOOL Header = O.Kind == PROFILE_LINE_HEADER;
        BOOL Droppable = (Header && O.NameLength == 0) || (IsProfileKey(O.Kind) && O.NameLength == 0 && (!O.HasValue || EmptyKeyBefore));
        CHECKED_WRITE *Written = WriteOf(Writes, Count, &O);
        BOOL Same = HaveNew && (Written != NULL ? HoldsWrite(Written, &N) : SameLine(&O, &N));
        if (!Same && HaveNew && IsAddedLine(Writes, Count, &N, FALSE)) {
            HaveNew = NextLine(&New, &N);
            continue;
        }
        if (!Same && !Droppable)
            return FALSE;
        if (Written != NULL)
            Written->Found = TRUE;
        if (Header)
            EnterSection(Writes, Count, &O);
        if ((Header && O.NameLength > 0) || IsProfileKey(O.Kind) || O.Kind == PROFILE_LINE_COMMENT)
            EmptyKeyBefore = !Header && O.NameLength == 0;
        HaveOld = NextLine(&Old, &O);
        if (Same)
            HaveNew = NextLine(&New, &N);
    }
    for (DWORD i = 0; i < Count; i++) {
        if (!Writes[i].Found)
            return FALSE;
    }
    return TRUE;
}

BOOL CopyHoldsTheUpdate(const char *Copy, size_t CopyLength)
{
    // Where either text is UTF-16 both are compared decoded, in UTF-8; the
    // writes, in the ANSI code page, are written in UTF-8 to a UTF-8 file.
    BOOL Decode = StartsWithUtf16ByteOrderMark(Update.Bytes, Update.Length) ||
                  StartsWithUtf16ByteOrderMark(Copy, CopyLength);
    BOOL Utf8 = Decode || ProfileTextStart(Update.Bytes, Update.Length) != 0;
    CHECKED_TEXT File = {}, New = {};
    CHECKED_WRITE *Writes = (CHECKED_WRITE *)calloc(Update.WriteCount + 1, sizeof *Writes);
    BOOL Prepared = Writes != NULL && TextToCheck(Update.Bytes, Update.Length, Decode, &File);
    Prepared = Prepared && TextToCheck(Copy, CopyLength, Decode, &New);
    DWORD Count = 0;
    while (Prepared && Count < Update.WriteCount && PrepareWrite(&Writes[Count], &Update.Writes[Count], Utf8))
        Count++;
    BOOL Holds = Prepared && Count == Update.WriteCount && LinesMatch(&File, &New, Writes, Count);
    for (DWORD i = 0; Writes != NULL && i < Count; i++)
        free(Writes[i].Converted);
    free(Writes);
    free(File.Owned);
    free(New.Owned);
    return Holds;
}
