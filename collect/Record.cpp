#include "collect/Record.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>

#include "collect/Files.h"
#include "platform/Streams.h"
#include "platform/SysUtils.h"
#include "wave/WaveCheck.h"
#include "wave/WaveStorage.h"

namespace orvant::collect {

namespace {

bool ValidUtf8(const std::string& s) {
    for (size_t i = 0; i < s.size();) {
        char32_t cp;
        const size_t n = DecodeUtf8(s, i, cp);
        if (n == 0) return false;
        i += n;
    }
    return true;
}

std::string Latin1ToUtf8(const std::string& s) {
    std::string out;
    for (unsigned char c : s) {
        if (c < 0x80) {
            out += char(c);
        } else {
            out += char(0xC0 | (c >> 6));
            out += char(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::string Hex(const std::string& s) { return HexBytes(s.data(), s.size()); }

QString Q(const std::string& s) { return QString::fromUtf8(s.data(), qsizetype(s.size())); }
std::string S(const QJsonValue& v) { return v.toString().toStdString(); }

}  // namespace

std::string SpeakerKey(const std::string& name, const std::string& country, const std::string& region) {
    const auto part = [](const std::string& s) {
        return QString::fromStdString(s).simplified().normalized(QString::NormalizationForm_C).toCaseFolded().toStdString();
    };
    return part(name) + "\n" + part(country) + "\n" + part(region);
}

std::string SpeakerIdOf(const std::string& key, size_t hexDigits) {
    TSha256 hash;
    hash.Update(key.data(), key.size());
    return hash.Hex().substr(0, hexDigits);
}

TSpeaker ParseSpeakerInfo(const std::string& bytes) {
    TSpeaker sp;
    const bool utf8 = ValidUtf8(bytes);
    sp.encoding = utf8 ? "utf-8" : "latin-1";
    size_t i = 0;
    while (i < bytes.size()) {
        size_t eol = bytes.find('\n', i);
        if (eol == std::string::npos) eol = bytes.size();
        std::string line = bytes.substr(i, eol - i);
        i = eol + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        const std::string key = line.substr(0, eq), raw = line.substr(eq + 1);
        const std::string text = utf8 ? raw : Latin1ToUtf8(raw);
        if (key == "Speakername") {
            sp.name = text;
            if (!utf8) sp.rawName = Hex(raw);
        } else if (key == "Country") {
            sp.country = text;
            if (!utf8) sp.rawCountry = Hex(raw);
        } else if (key == "Region") {
            sp.region = text;
            if (!utf8) sp.rawRegion = Hex(raw);
        }
    }
    return sp;
}

int TUploadRecord::Takes() const {
    int n = 0;
    for (const auto& e : entries) n += e.take;
    return n;
}
uint64_t TUploadRecord::TotalMs() const {
    uint64_t ms = 0;
    for (const auto& e : entries) ms += e.hasWave ? e.wave.durationMs : 0;
    return ms;
}
int TUploadRecord::Flagged() const {
    int n = 0;
    for (const auto& e : entries) n += e.take && !e.flags.empty();
    return n;
}

bool IsPlainEntryName(const std::string& name) {
    return !name.empty() && name[0] != '.' && name.find_first_of(std::string("/\\\0", 3)) == std::string::npos;
}

bool IsTakeName(const std::string& name) {
    if (name.size() < 4) return false;
    std::string ext = name.substr(name.size() - 4);
    for (char& c : ext) c = char(std::tolower(static_cast<unsigned char>(c)));
    return ext == ".wav";
}

void CheckTake(const std::string& path, TEntryRecord& entry) {
    entry.take = true;
    try {
        TWaveStreamAdapter wave(new TFileStream(path, fmOpenRead | fmShareDenyNone), soOwned);
        if (const tWAVEFORMATEX* wf = wave.Valid() ? wave.WaveFormat() : nullptr) {
            entry.hasWave = true;
            entry.wave = {wf->wFormatTag, wf->nChannels, wf->wBitsPerSample, wf->nSamplesPerSec, wave.Length()};
        }
    } catch (const std::exception&) {
        entry.hasWave = false;
    }
    const TTakeCheck check = CheckTakeFile(path);
    const std::string words = TakeFlagWords(check.flags, "\n");
    entry.flags.clear();
    for (size_t i = 0; !words.empty() && i <= words.size();) {
        const size_t nl = std::min(words.find('\n', i), words.size());
        entry.flags.push_back(words.substr(i, nl - i));
        i = nl + 1;
    }
}

std::string UploadJson(const TUploadRecord& r) {
    QJsonObject speaker{{"name", Q(r.speaker.name)},
                        {"country", Q(r.speaker.country)},
                        {"region", Q(r.speaker.region)},
                        {"encoding", Q(r.speaker.encoding)}};
    if (r.speaker.encoding != "utf-8")
        speaker["raw_hex"] = QJsonObject{{"name", Q(r.speaker.rawName)},
                                         {"country", Q(r.speaker.rawCountry)},
                                         {"region", Q(r.speaker.rawRegion)}};
    QJsonArray entries;
    for (const TEntryRecord& e : r.entries) {
        QJsonObject o{{"name", Q(e.name)}, {"bytes", qint64(e.bytes)}, {"sha256", Q(e.sha256)}};
        if (e.hasWave)
            o["wave"] = QJsonObject{{"format_tag", e.wave.formatTag},
                                    {"channels", e.wave.channels},
                                    {"rate", qint64(e.wave.rate)},
                                    {"bits", e.wave.bits},
                                    {"duration_ms", qint64(e.wave.durationMs)}};
        if (e.take) {
            QJsonArray flags;
            for (const std::string& f : e.flags) flags.append(Q(f));
            o["flags"] = flags;
        }
        entries.append(o);
    }
    const QJsonObject root{{"archive", Q(r.archive)},   {"sha256", Q(r.sha256)},   {"bytes", qint64(r.bytes)},
                           {"received", Q(r.received)}, {"client", Q(r.client)},   {"folder", Q(r.folder)},
                           {"speaker", speaker},        {"entries", entries}};
    return QJsonDocument(root).toJson(QJsonDocument::Indented).toStdString();
}

bool ParseUploadJson(const std::string& text, TUploadRecord& r, std::string& why) {
    QJsonParseError err;
    const QJsonDocument doc = QJsonDocument::fromJson(QByteArray(text.data(), qsizetype(text.size())), &err);
    if (!doc.isObject()) {
        why = "not a JSON object: " + err.errorString().toStdString();
        return false;
    }
    const QJsonObject o = doc.object();
    r = TUploadRecord{};
    r.archive = S(o["archive"]);
    r.sha256 = S(o["sha256"]);
    r.bytes = uint64_t(o["bytes"].toInteger());
    r.received = S(o["received"]);
    r.client = S(o["client"]);
    r.folder = S(o["folder"]);
    const QJsonObject sp = o["speaker"].toObject();
    r.speaker.name = S(sp["name"]);
    r.speaker.country = S(sp["country"]);
    r.speaker.region = S(sp["region"]);
    r.speaker.encoding = S(sp["encoding"]);
    const QJsonObject raw = sp["raw_hex"].toObject();
    r.speaker.rawName = S(raw["name"]);
    r.speaker.rawCountry = S(raw["country"]);
    r.speaker.rawRegion = S(raw["region"]);
    for (const QJsonValue& v : o["entries"].toArray()) {
        const QJsonObject e = v.toObject();
        TEntryRecord er;
        er.name = S(e["name"]);
        er.bytes = uint64_t(e["bytes"].toInteger());
        er.sha256 = S(e["sha256"]);
        er.take = e.contains("flags");
        if (e.contains("wave")) {
            const QJsonObject w = e["wave"].toObject();
            er.hasWave = true;
            er.wave = {uint16_t(w["format_tag"].toInt()), uint16_t(w["channels"].toInt()),
                       uint16_t(w["bits"].toInt()), uint32_t(w["rate"].toInteger()),
                       uint32_t(w["duration_ms"].toInteger())};
        }
        for (const QJsonValue& f : e["flags"].toArray()) er.flags.push_back(S(f));
        r.entries.push_back(std::move(er));
    }
    if (r.sha256.size() != 64 || r.folder.empty()) {
        why = "no sha256 or folder";
        return false;
    }
    return true;
}

}  // namespace orvant::collect
