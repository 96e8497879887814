#include "collect/StoredUpload.h"

#include <algorithm>
#include <filesystem>

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include "platform/SysUtils.h"

namespace orvant {

namespace {

std::string Text(const QJsonObject& o, const char* key) { return o.value(key).toString().toStdString(); }

uint64_t Count(const QJsonObject& o, const char* key) {
    const double v = o.value(key).toDouble(0);
    return v > 0 ? uint64_t(v) : 0;
}

}  // namespace

bool IsStoredEntryName(const std::string& name) {
    return !name.empty() && name[0] != '.' && name.find_first_of(std::string("/\\\0", 3)) == std::string::npos;
}

TStoredUpload ReadStoredUpload(const std::string& dir) {
    const std::string path = dir + "/upload.json";
    QFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::ReadOnly))
        throw Exception("\"" + path + "\" cannot be read: " + file.errorString().toStdString());
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(file.readAll(), &error);
    if (doc.isNull()) throw Exception("\"" + path + "\" is not JSON: " + error.errorString().toStdString());
    if (!doc.isObject()) throw Exception("\"" + path + "\" does not hold one JSON object.");
    const QJsonObject o = doc.object();
    TStoredUpload u;
    u.dir = dir;
    u.folder = Text(o, "folder");
    u.archive = Text(o, "archive");
    u.sha256 = Text(o, "sha256");
    u.received = Text(o, "received");
    u.client = Text(o, "client");
    u.bytes = Count(o, "bytes");
    const QJsonObject sp = o.value("speaker").toObject();
    u.speaker = {Text(sp, "name"), Text(sp, "country"), Text(sp, "region"), Text(sp, "encoding")};
    if (!o.value("entries").isArray()) throw Exception("\"" + path + "\" has no list of entries.");
    for (const QJsonValue& v : o.value("entries").toArray()) {
        const QJsonObject e = v.toObject();
        TStoredEntry entry;
        entry.name = Text(e, "name");
        entry.bytes = Count(e, "bytes");
        entry.sha256 = Text(e, "sha256");
        const std::string lower = [&] {
            std::string s = entry.name;
            std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return char(std::tolower(c)); });
            return s;
        }();
        entry.isWave = lower.ends_with(".wav") || e.contains("wave") || e.contains("flags");
        if (e.value("wave").isObject()) {
            const QJsonObject w = e.value("wave").toObject();
            entry.hasFormat = true;
            entry.formatTag = uint16_t(Count(w, "format_tag"));
            entry.channels = uint16_t(Count(w, "channels"));
            entry.rate = uint32_t(Count(w, "rate"));
            entry.bits = uint16_t(Count(w, "bits"));
            entry.durationMs = Count(w, "duration_ms");
        }
        for (const QJsonValue& f : e.value("flags").toArray()) entry.flags.push_back(f.toString().toStdString());
        u.entries.push_back(std::move(entry));
    }
    return u;
}

std::vector<std::string> ListUploadFolders(const std::string& store) {
    namespace fs = std::filesystem;
    std::vector<std::string> folders;
    std::error_code ec;
    const fs::path root = fs::path(store) / "uploads";
    for (fs::directory_iterator day(root, ec), end; !ec && day != end; day.increment(ec)) {
        if (!day->is_directory(ec) || day->is_symlink(ec)) continue;
        std::error_code ec2;
        for (fs::directory_iterator up(day->path(), ec2); !ec2 && up != end; up.increment(ec2))
            if (up->is_directory(ec2) && !up->is_symlink(ec2) && fs::is_regular_file(up->path() / "upload.json", ec2))
                folders.push_back(up->path().string());
    }
    std::sort(folders.begin(), folders.end());
    return folders;
}

}  // namespace orvant
