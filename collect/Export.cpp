#include "collect/Export.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <set>
#include <vector>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>

#include "app/Catalogue.h"
#include "collect/Files.h"
#include "collect/Record.h"
#include "collect/TakeAudio.h"
#include "platform/Streams.h"
#include "platform/codecs/Acm.h"
#include "wave/WaveUtils.h"

namespace orvant {

namespace fs = std::filesystem;

namespace {

QString Simplified(const std::string& s) { return QString::fromStdString(s).simplified(); }

// The temporary name a file of the corpus is written under: hidden, and
// marked with the process, so a leftover is recognised and removed.
std::string TempNameFor(const fs::path& final) {
    return (final.parent_path() / ("." + final.filename().string() + "." + std::to_string(getpid()) + ".tmp"))
        .string();
}

bool IsOurTemp(const std::string& name) { return name.size() > 5 && name[0] == '.' && name.ends_with(".tmp"); }

void SyncPath(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw Exception("\"" + path + "\" cannot be opened: " + SysErrorMessage(errno));
    const int rc = ::fsync(fd);
    const int e = errno;
    ::close(fd);
    if (rc != 0) throw Exception("\"" + path + "\" cannot be written to disk: " + SysErrorMessage(e));
}

void RenameInto(const std::string& from, const std::string& to) {
    if (std::rename(from.c_str(), to.c_str()) != 0) {
        const int e = errno;
        std::remove(from.c_str());
        throw Exception("\"" + to + "\" cannot be written: " + SysErrorMessage(e));
    }
}

// Writes text to path through a temporary file, on disk before the rename.
void WriteWhole(const fs::path& path, const std::string& text) {
    const std::string tmp = TempNameFor(path);
    try {
        TFileStream f(tmp, fmCreate | fmShareExclusive);
        f.WriteBuffer(text.data(), int32_t(text.size()));
        if (::fsync(f.Handle()) != 0) throw Exception("\"" + tmp + "\" cannot be written to disk: " + SysErrorMessage(errno));
    } catch (...) {
        std::remove(tmp.c_str());
        throw;
    }
    RenameInto(tmp, path.string());
}

// The WAVE image of span of take in format dst, written to path; returns the
// sample frames written. Conversion runs through the compression manager in
// pieces; a take in the target format is copied.
uint64_t WriteTake(TTakeReader& take, TFrameSpan span, const tWAVEFORMATEX& dst, const std::string& path) {
    const tWAVEFORMATEX& src = take.Format();
    TFileStream out(path, fmCreate | fmShareExclusive);
    MMCKINFO ckRiff{}, ckData{};
    HMMIO h = BeginStreamWaveFile(&out, &dst, ckRiff, ckData);
    if (!h) throw Exception("\"" + path + "\" cannot be written: " + SysErrorMessage(errno));
    struct TClose {
        HMMIO h;
        ~TClose() { mmioClose(h); }
    } closer{h};
    uint64_t written = 0;
    const auto put = [&](const uint8_t* p, uint32_t n) {
        if (n == 0) return;
        if (mmioWrite(h, p, int32_t(n)) != int32_t(n))
            throw Exception("\"" + path + "\" cannot be written: " + SysErrorMessage(errno));
        written += n;
    };
    const uint64_t from = span.begin * src.nBlockAlign, to = span.end * src.nBlockAlign;
    constexpr uint32_t kPiece = 64 * 1024;
    std::vector<uint8_t> in(kPiece - kPiece % src.nBlockAlign);
    const bool same = std::memcmp(&src, &dst, sizeof(tWAVEFORMATEX)) == 0;
    if (same) {
        for (uint64_t at = from; at < to;) {
            const size_t got = take.ReadAt(at, in.data(), size_t(std::min<uint64_t>(in.size(), to - at)));
            if (got == 0) break;
            put(in.data(), uint32_t(got));
            at += got;
        }
    } else {
        HACMSTREAM has = nullptr;
        if (acmStreamOpen(&has, nullptr, &src, &dst, nullptr, 0, 0, ACM_STREAMOPENF_NONREALTIME) != MMSYSERR_NOERROR)
            throw Exception("no conversion from " + DescribeWaveFormat(&src) + " to " + DescribeWaveFormat(&dst));
        struct TAcmClose {
            HACMSTREAM has;
            ~TAcmClose() { acmStreamClose(has, 0); }
        } acmCloser{has};
        uint32_t outSize = 0;
        if (acmStreamSize(has, uint32_t(in.size()), &outSize, ACM_STREAMSIZEF_SOURCE) != MMSYSERR_NOERROR)
            throw Exception("no conversion size for " + DescribeWaveFormat(&src));
        std::vector<uint8_t> outBuf(size_t(outSize) + 4096);
        ACMSTREAMHEADER hdr{};
        hdr.cbStruct = sizeof hdr;
        hdr.pbSrc = in.data();
        hdr.cbSrcLength = uint32_t(in.size());
        hdr.pbDst = outBuf.data();
        hdr.cbDstLength = uint32_t(outBuf.size());
        if (acmStreamPrepareHeader(has, &hdr, 0) != MMSYSERR_NOERROR) throw Exception("conversion cannot start");
        // The buffer is topped up from the take; what the converter did not
        // take yet (its target was full) moves to the front. At the end the
        // calls go on until the converter has given out all it held back.
        bool first = true, last = false;
        size_t pending = 0;
        for (uint64_t at = from;;) {
            if (!last) {
                const size_t got =
                    take.ReadAt(at, in.data() + pending, size_t(std::min<uint64_t>(in.size() - pending, to - at)));
                at += got;
                pending += got;
                last = got == 0 || at >= to;
            }
            hdr.cbSrcLength = uint32_t(pending);
            hdr.cbDstLength = uint32_t(outBuf.size());
            const uint32_t flags = (first ? ACM_STREAMCONVERTF_START : 0) | (last ? ACM_STREAMCONVERTF_END : 0);
            const MMRESULT rc = acmStreamConvert(has, &hdr, flags);
            first = false;
            if (rc != MMSYSERR_NOERROR || (hdr.cbSrcLengthUsed == 0 && hdr.cbDstLengthUsed == 0 && pending > 0)) {
                hdr.cbSrcLength = uint32_t(in.size());
                hdr.cbDstLength = uint32_t(outBuf.size());
                acmStreamUnprepareHeader(has, &hdr, 0);
                throw Exception("the conversion to " + DescribeWaveFormat(&dst) + " failed");
            }
            put(outBuf.data(), hdr.cbDstLengthUsed);
            pending -= hdr.cbSrcLengthUsed;
            std::memmove(in.data(), in.data() + hdr.cbSrcLengthUsed, pending);
            if (last && pending == 0 && hdr.cbDstLengthUsed == 0) break;
        }
        hdr.pbSrc = in.data();
        hdr.cbSrcLength = uint32_t(in.size());
        hdr.cbDstLength = uint32_t(outBuf.size());
        acmStreamUnprepareHeader(has, &hdr, 0);
    }
    if (mmioAscend(h, &ckData, 0) != 0 || mmioAscend(h, &ckRiff, 0) != 0)
        throw Exception("\"" + path + "\" cannot be written: " + SysErrorMessage(errno));
    return written / dst.nBlockAlign;
}

struct TSpeaker {
    std::string id, name, country, region;
    size_t uploads = 0, takes = 0;
    double seconds = 0;
};

// An upload read back from its folder.
struct TStored {
    std::string dir;  // the folder found in the store (not the one the record states)
    collect::TUploadRecord record;
    TSpeaker* speaker = nullptr;  // set once the speakers are named
};

struct TCandidate {
    const TStored* upload;
    const collect::TEntryRecord* entry;
    TSpeaker* speaker;
};

// The upload folders of store (STORE/uploads/<day>/<name>/ holding an
// upload.json), sorted by path; links are not followed.
std::vector<std::string> UploadFolders(const std::string& store) {
    std::vector<std::string> folders;
    std::error_code ec;
    for (fs::directory_iterator day(fs::path(store) / "uploads", ec), end; !ec && day != end; day.increment(ec)) {
        if (!day->is_directory(ec) || day->is_symlink(ec)) continue;
        std::error_code ec2;
        for (fs::directory_iterator up(day->path(), ec2); !ec2 && up != end; up.increment(ec2))
            if (up->is_directory(ec2) && !up->is_symlink(ec2) && fs::is_regular_file(up->path() / "upload.json", ec2))
                folders.push_back(up->path().string());
    }
    std::sort(folders.begin(), folders.end());
    return folders;
}


std::string CsvField(const std::string& s) {
    if (s.find_first_of(",\"\r\n") == std::string::npos) return s;
    std::string q = "\"";
    for (char c : s) q += c == '"' ? std::string("\"\"") : std::string(1, c);
    return q + "\"";
}

std::string FormatSeconds(double s) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.3f", s);
    return buf;
}

}  // namespace

std::string NormaliseCaption(const std::string& caption) {
    QString s = Simplified(caption);
    for (QChar& c : s) {
        switch (c.unicode()) {
            case 0x2018: case 0x2019: case 0x201A: case 0x201B: case 0x2032: case 0x2039: case 0x203A: case 0x02BC:
                c = QChar('\'');
                break;
            case 0x201C: case 0x201D: case 0x201E: case 0x201F: case 0x2033: case 0x00AB: case 0x00BB:
                c = QChar('"');
                break;
            default:
                break;
        }
    }
    return s.toStdString();
}

std::string MetadataField(const std::string& text) {
    if (text.find_first_of("|\r\n") == std::string::npos && !text.starts_with('"')) return text;
    std::string q = "\"";
    for (char c : text) q += c == '"' ? std::string("\"\"") : std::string(1, c);
    return q + "\"";
}

namespace {

// One run of the export, step by step.
class TCorpusExport {
public:
    explicit TCorpusExport(const TExportOptions& o) : o(o), fOut(o.out), fWavs(fOut / "wavs") {}

    TExportCounts Run(std::ostream& log) {
        fPhrases = ReadCatalogue(o.catalogue);
        fByTake = PhrasesByTake(fPhrases);
        ReadUploads();
        NameSpeakers();
        ChooseTakes();
        std::error_code ec;
        fs::create_directories(fWavs, ec);
        if (ec) throw Exception("\"" + fWavs.string() + "\" cannot be made: " + ec.message());
        for (auto& [where, c] : fChosen) ExportTake(c);
        // The takes reach the disk before the list that names them.
        if (const int fd = ::open(fWavs.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); fd >= 0) {
            ::syncfs(fd);
            ::close(fd);
        }
        WriteLists();
        RemoveStale();
        log << "exported " << fCounts.exported << " takes of " << fCounts.speakers << " speakers ("
            << FormatSeconds(fCounts.seconds) << " s) into " << o.out << "; " << fCounts.leftOut
            << " left out (see export.json)\n";
        return fCounts;
    }

private:
    void Leave(const std::string& folder, const std::string& take, const std::string& speaker,
               const std::string& reason) {
        fLeftOut.append(QJsonObject{{"upload", QString::fromStdString(folder)},
                                    {"take", QString::fromStdString(take)},
                                    {"speaker", QString::fromStdString(speaker)},
                                    {"reason", QString::fromStdString(reason)}});
    }

    // The uploads, oldest first: a later take of the same phrase replaces
    // an earlier one.
    void ReadUploads() {
        for (const std::string& dir : UploadFolders(o.store)) {
            TStored u{dir, {}, nullptr};
            std::ifstream f(dir + "/upload.json", std::ios::binary);
            const std::string text{std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
            std::string why;
            if (!f || !collect::ParseUploadJson(text, u.record, why))
                Leave(fs::relative(dir, o.store).string(), "", "",
                      "upload.json cannot be read: " + (f ? why : "unreadable"));
            else
                fUploads.push_back(std::move(u));
        }
        std::stable_sort(fUploads.begin(), fUploads.end(), [](const TStored& a, const TStored& b) {
            return std::tie(a.record.received, a.dir) < std::tie(b.record.received, b.dir);
        });
        fCounts.uploads = fUploads.size();
    }

    // Speakers by their normalised details; ids are the hash's first 8 hex
    // digits, or 16 for the speakers whose first 8 collide.
    void NameSpeakers() {
        for (TStored& u : fUploads) {
            const collect::TSpeaker& who = u.record.speaker;
            TSpeaker& s = fSpeakers[collect::SpeakerKey(who.name, who.country, who.region)];
            u.speaker = &s;
            s.name = who.name;  // the newest spelling
            s.country = who.country;
            s.region = who.region;
            ++s.uploads;
        }
        std::map<std::string, int> shortIds;
        for (auto& [key, s] : fSpeakers) ++shortIds[s.id = collect::SpeakerIdOf(key)];
        for (auto& [key, s] : fSpeakers)
            if (shortIds[s.id] > 1) s.id = collect::SpeakerIdOf(key, 16);
        fCounts.speakers = fSpeakers.size();
    }

    // The newest take of each phrase of each speaker.
    void ChooseTakes() {
        for (const TStored& u : fUploads) {
            TSpeaker& s = *u.speaker;
            for (const collect::TEntryRecord& e : u.record.entries) {
                if (!e.take) continue;
                ++fCounts.takes;
                const auto [it, fresh] = fChosen.try_emplace({s.id, e.name}, TCandidate{&u, &e, &s});
                if (!fresh) {
                    Leave(it->second.upload->record.folder, e.name, s.id,
                          "superseded by the newer take in " + u.record.folder);
                    it->second = {&u, &e, &s};
                }
            }
        }
    }

    // Why the chosen take cannot go into the corpus; empty when it can.
    std::string Refusal(const collect::TEntryRecord& e, const std::string& id) const {
        if (!e.hasWave || std::find(e.flags.begin(), e.flags.end(), "not a readable WAVE file") != e.flags.end())
            return "not a readable WAVE file";
        if (!e.flags.empty() && !o.includeFlagged) {
            std::string words;
            for (const std::string& f : e.flags) words += (words.empty() ? "" : ", ") + f;
            return "flagged: " + words;
        }
        if (!collect::IsPlainEntryName(e.name)) return "not a plain file name";
        // The id stands unquoted in metadata.csv's first column.
        if (std::any_of(id.begin(), id.end(), [](char ch) { return ch == '|' || ch == '"' || uint8_t(ch) < 0x20; }))
            return "its take name cannot stand in metadata.csv";
        return {};
    }

    void ExportTake(TCandidate& c) {
        const collect::TEntryRecord& e = *c.entry;
        const auto phrase = fByTake.find(e.name);
        if (phrase == fByTake.end()) return Leave(c.upload->record.folder, e.name, c.speaker->id, "not in the catalogue");
        const std::string id = c.speaker->id + "_" + phrase->second->wav;
        if (const std::string why = Refusal(e, id); !why.empty())
            return Leave(c.upload->record.folder, e.name, c.speaker->id, why);
        const fs::path final = fWavs / (id + ".wav");
        const std::string tmp = TempNameFor(final);
        try {
            TTakeReader take(c.upload->dir + "/" + e.name);
            const tWAVEFORMATEX dst = TargetFormat(take.Format());
            TFrameSpan span{0, take.Frames()};
            if (o.trim) {
                if (!HasLevels(take.Format()))
                    throw Exception("its format (" + DescribeWaveFormat(&take.Format()) + ") cannot be trimmed");
                const TSpeech speech = FindSpeech(take);
                if (!speech.found) fUntrimmed.append(QString::fromStdString(id));
                span = TrimmedSpan(speech, uint64_t(o.trimMarginMs) * take.Format().nSamplesPerSec / 1000,
                                   take.Frames());
            }
            const uint64_t frames = WriteTake(take, span, dst, tmp);
            RenameInto(tmp, final.string());
            const double seconds = double(frames) / dst.nSamplesPerSec;
            c.speaker->seconds += seconds;
            ++c.speaker->takes;
            fCounts.seconds += seconds;
            ++fCounts.exported;
            fLines.push_back({id, phrase->second->caption});
            fWritten.insert(final.filename().string());
        } catch (const std::exception& ex) {
            std::remove(tmp.c_str());
            Leave(c.upload->record.folder, e.name, c.speaker->id, std::string("cannot be exported: ") + ex.what());
        }
    }

    // The corpus's format for a take in src: as recorded, or PCM at the
    // asked rate and channels.
    tWAVEFORMATEX TargetFormat(const tWAVEFORMATEX& src) const {
        tWAVEFORMATEX dst = src;
        if (!o.rate && !o.mono) return dst;
        if (dst.wFormatTag != WAVE_FORMAT_PCM) throw Exception("its format (" + DescribeWaveFormat(&dst) + ") is not PCM");
        if (o.rate) dst.nSamplesPerSec = o.rate;
        if (o.mono) dst.nChannels = 1;
        dst.nBlockAlign = uint16_t(dst.nChannels * dst.wBitsPerSample / 8);
        dst.nAvgBytesPerSec = dst.nBlockAlign * dst.nSamplesPerSec;
        return dst;
    }

    // speakers.csv, export.json and, last, metadata.csv.
    void WriteLists() {
        std::sort(fLines.begin(), fLines.end(), [](const TLine& a, const TLine& b) { return a.id < b.id; });
        std::string metadata;
        for (const TLine& l : fLines)
            metadata += l.id + "|" + MetadataField(l.caption) + "|" + MetadataField(NormaliseCaption(l.caption)) + "\n";
        std::string table = "id,name,country,region,uploads,takes,seconds\n";
        std::vector<const TSpeaker*> byId;
        for (const auto& [key, s] : fSpeakers) byId.push_back(&s);
        std::sort(byId.begin(), byId.end(), [](const TSpeaker* a, const TSpeaker* b) { return a->id < b->id; });
        for (const TSpeaker* s : byId)
            table += s->id + "," + CsvField(o.names ? s->name : "") + "," + CsvField(s->country) + "," +
                     CsvField(s->region) + "," + std::to_string(s->uploads) + "," + std::to_string(s->takes) + "," +
                     FormatSeconds(s->seconds) + "\n";
        fCounts.leftOut = size_t(fLeftOut.size());
        WriteWhole(fOut / "speakers.csv", table);
        WriteWhole(fOut / "export.json", QJsonDocument(Report()).toJson().toStdString());
        WriteWhole(fOut / "metadata.csv", metadata);
        SyncPath(fOut.string());
    }

    QJsonObject Report() const {
        return QJsonObject{
            {"options", QJsonObject{{"store", QString::fromStdString(o.store)},
                                    {"catalogue", QString::fromStdString(o.catalogue)},
                                    {"rate", o.rate ? QJsonValue(qint64(o.rate)) : QJsonValue("as recorded")},
                                    {"mono", o.mono},
                                    {"trim", o.trim},
                                    {"trim_margin_ms", qint64(o.trimMarginMs)},
                                    {"include_flagged", o.includeFlagged},
                                    {"takes_per_phrase", "latest"},
                                    {"names", o.names}}},
            {"counts", QJsonObject{{"uploads", qint64(fCounts.uploads)},
                                   {"speakers", qint64(fCounts.speakers)},
                                   {"takes_seen", qint64(fCounts.takes)},
                                   {"exported", qint64(fCounts.exported)},
                                   {"left_out", qint64(fCounts.leftOut)},
                                   {"seconds", fCounts.seconds}}},
            {"left_out", fLeftOut},
            {"untrimmed_no_speech_found", fUntrimmed}};
    }

    // Takes of an earlier run that this one no longer names, and files a
    // stopped run left under a temporary name.
    void RemoveStale() {
        std::error_code ec;
        for (const fs::path& dir : {fWavs, fOut}) {
            for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
                const std::string name = it->path().filename().string();
                const bool staleTake = dir == fWavs && name.ends_with(".wav") && !fWritten.count(name);
                if (IsOurTemp(name) || staleTake) fs::remove(it->path(), ec);
            }
        }
    }

    struct TLine {
        std::string id, caption;
    };

    const TExportOptions& o;
    const fs::path fOut, fWavs;
    std::vector<TCataloguePhrase> fPhrases;
    std::map<std::string, const TCataloguePhrase*> fByTake;  // into fPhrases
    TExportCounts fCounts;
    QJsonArray fLeftOut, fUntrimmed;
    std::vector<TStored> fUploads;
    std::map<std::string, TSpeaker> fSpeakers;                         // by key
    std::map<std::pair<std::string, std::string>, TCandidate> fChosen;  // (speaker id, take) -> newest
    std::vector<TLine> fLines;
    std::set<std::string> fWritten;
};

}  // namespace

TExportCounts ExportCorpus(const TExportOptions& o, std::ostream& log) { return TCorpusExport(o).Run(log); }

int ExportCommand(int argc, char** argv) {
    TExportOptions o;
    const auto usage = [] {
        std::cerr << "usage: orvant-collect export --store DIR --catalogue FILE [--rate HZ] [--mono] [--trim]\n"
                     "       [--trim-margin MS] [--include-flagged] [--latest] [--names] OUT\n";
        return 2;
    };
    const auto number = [](const char* s, uint32_t lo, uint32_t hi, uint32_t& v) {
        char* end = nullptr;
        errno = 0;
        const unsigned long n = std::strtoul(s, &end, 10);
        if (errno || !end || *end || end == s || n < lo || n > hi) return false;
        v = uint32_t(n);
        return true;
    };
    for (int i = 0; i < argc; ++i) {
        const std::string a = argv[i];
        const bool hasValue = i + 1 < argc;
        if (a == "--store" && hasValue) o.store = argv[++i];
        else if (a == "--catalogue" && hasValue) o.catalogue = argv[++i];
        else if (a == "--rate" && hasValue) {
            if (!number(argv[++i], 1000, 384000, o.rate)) return usage();
        } else if (a == "--trim-margin" && hasValue) {
            if (!number(argv[++i], 0, 10000, o.trimMarginMs)) return usage();
        } else if (a == "--mono") o.mono = true;
        else if (a == "--trim") o.trim = true;
        else if (a == "--include-flagged") o.includeFlagged = true;
        else if (a == "--latest") {
        } else if (a == "--names") o.names = true;
        else if (!a.empty() && a[0] != '-' && o.out.empty()) o.out = a;
        else return usage();
    }
    if (o.store.empty() || o.catalogue.empty() || o.out.empty()) return usage();
    try {
        ExportCorpus(o, std::cout);
        return 0;
    } catch (const std::exception& e) {
        std::cerr << "orvant-collect export: " << e.what() << "\n";
        return 1;
    }
}

}  // namespace orvant
