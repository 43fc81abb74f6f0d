// The index of a profile text's sections: two bytes a section, a fingerprint
// of its name, and where every kCheckpointEvery-th section starts. A lookup
// compares fingerprints and reads only the headers that match.
#include "platform/posix/profile_text.h"

namespace emsgraft {

using profile_shortcuts::NextHeader;

ProfileText::ProfileText(ByteBuffer bytes) : bytes_(std::move(bytes)), source_(bytes_.View())
{
    std::string_view all(source_);
    bodyBegin_ = ProfileTextStart(all.data(), all.size());

    // The first line may be the whole file: found with memchr, not byte by byte.
    Line first;
    LineReader(all, bodyBegin_).Next(first);
    eol_ = first.end > first.textEnd ? all.substr(first.textEnd, first.end - first.textEnd) : "\r\n";

    // Room for as many sections as the file could hold, a header being at
    // least three bytes, on huge pages where that is large: growing the index
    // step by step would copy it, and for a while need both copies, and
    // faulting it in 4 KiB at a time costs more than finding the headers.
    // Pages never used cost nothing.
    size_t most = (all.size() - bodyBegin_) / 3 + 2;
    fingerprintStore_ = ByteBuffer(most * sizeof(uint16_t));
    fingerprints_ = reinterpret_cast<uint16_t *>(fingerprintStore_.Data());
    checkpoints_.reserve(most / kCheckpointEvery + 1);
    fingerprints_[fileSections_++] = Fingerprint("");
    checkpoints_.push_back(bodyBegin_);
    for (size_t from = bodyBegin_;;) {
        std::optional<profile_shortcuts::Header> header = NextHeader(all, from);
        if (!header)
            break;
        if (fileSections_ % kCheckpointEvery == 0)
            checkpoints_.push_back(header->begin);
        fingerprints_[fileSections_++] = Fingerprint(header->name);
        from = header->end;
    }
}

// Moves `walk` to the file's section `index`, from the nearest checkpoint
// or from where it stands, whichever is nearer.
void ProfileText::WalkTo(size_t index, Walk &walk) const
{
    std::string_view all(source_);
    size_t checkpoint = index / kCheckpointEvery * kCheckpointEvery;
    if (walk.index == kFromFile || walk.index > index || walk.index < checkpoint) {
        walk.index = checkpoint;
        walk.begin = walk.headerEnd = checkpoints_[index / kCheckpointEvery];
        walk.name = {};
        if (checkpoint != 0) {
            Line line = LineAt(all, walk.begin);
            walk.headerEnd = line.end;
            walk.name = ParseLine(all.substr(line.begin, line.textEnd - line.begin)).name;
        }
    }
    while (walk.index < index) {
        std::optional<profile_shortcuts::Header> header = NextHeader(all, walk.headerEnd);
        walk.index++;
        walk.begin = header->begin;
        walk.headerEnd = header->end;
        walk.name = header->name;
    }
}

std::optional<ProfileText::Section> ProfileText::FindSection(std::string_view name) const
{
    std::string_view key = Trim(name);
    for (const auto &[looked, found] : lookedUp_)
        if (EqualIgnoringAsciiCase(looked, key))
            return found;
    std::optional<Section> found = SearchSection(key);
    if (lookedUp_.size() == 16)
        lookedUp_.erase(lookedUp_.begin());
    lookedUp_.emplace_back(std::string(key), found);
    return found;
}

// The first section of the name: of the file, else added.
std::optional<ProfileText::Section> ProfileText::SearchSection(std::string_view key) const
{
    uint16_t wanted = Fingerprint(key);
    Walk walk;
    for (size_t i = 0;; ++i) {
        i = FindFingerprint(fingerprints_, i, fileSections_, wanted);
        if (i == fileSections_)
            break;
        WalkTo(i, walk);
        if (EqualIgnoringAsciiCase(walk.name, key)) {
            std::optional<profile_shortcuts::Header> next = NextHeader(source_, walk.headerEnd);
            return Section{false, walk.begin, walk.headerEnd, next ? next->begin : source_.size()};
        }
    }
    for (size_t k = 0; k < addedNames_.size(); ++k) {
        if (EqualIgnoringAsciiCase(addedNames_[k], key)) {
            size_t offset = source_.size() + 1 + k;
            return Section{true, offset, offset, offset};
        }
    }
    return std::nullopt;
}

// The header of a section; for the lines before the first header, an empty
// line just before them.
ProfileText::TextLine ProfileText::HeaderLine(const Section &section) const
{
    if (section.added) {
        const AddedLine &header = edits_.at(section.begin).added.front();
        return TextLine{header.text, header.eol, section.begin, 0, section.begin};
    }
    if (section.headerEnd == section.begin)
        return TextLine{{}, {}, section.begin, kFromFile, section.begin};
    // Edits never touch a header line, so it is read where it stands.
    std::string_view all(source_);
    Line line = LineAt(all.substr(0, section.end), section.begin);
    return TextLine{all.substr(line.begin, line.textEnd - line.begin), all.substr(line.textEnd, line.end - line.textEnd),
                    line.begin, kFromFile, line.end};
}

}  // namespace emsgraft
