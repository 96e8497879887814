#include "app/WavInfo.h"

#include <QModelIndex>
#include <QTreeWidgetItem>
#include <QVariant>

#include "platform/SysUtils.h"

namespace orvant {

namespace {

// The item data role under which a node gives its record.
const int kRecordRole = Qt::UserRole + 1;

// A tree node that carries its phrase record in a field of its own, which
// spares every node the item's generic data list.
class TPhraseItem : public QTreeWidgetItem {
public:
    static constexpr int Type = QTreeWidgetItem::UserType + 1;
    explicit TPhraseItem(const QString& text) : QTreeWidgetItem(Type) { setText(0, text); }
    QVariant data(int column, int role) const override {
        if (role == kRecordRole) return QVariant::fromValue<quintptr>(reinterpret_cast<quintptr>(record));
        return QTreeWidgetItem::data(column, role);
    }
    TWavInfo* record = nullptr;
};

void AttachWavInfo(QTreeWidgetItem* tn, TWavInfo* record) {
    if (tn->type() == TPhraseItem::Type)
        static_cast<TPhraseItem*>(tn)->record = record;
    else
        tn->setData(0, kRecordRole, QVariant::fromValue<quintptr>(reinterpret_cast<quintptr>(record)));
}

TWavInfo* RecordFrom(const QVariant& data) { return reinterpret_cast<TWavInfo*>(data.value<quintptr>()); }

}  // namespace

std::string SampleNameFromCaption(const std::string& caption) {
    std::string s;
    s.reserve(caption.size() + 4);
    for (char ch : caption)
        if (ch != ' ' && ch != '!' && ch != '.' && ch != ',' && ch != '?') s += ch;
    return s + ".wav";
}

std::string CataloguePathFor(const std::string& programPath) {
    const size_t slash = programPath.rfind('/');
    const size_t dot = programPath.rfind('.');
    if (dot != std::string::npos && (slash == std::string::npos || dot > slash))
        return programPath.substr(0, dot) + ".xml";
    return programPath + ".xml";
}

TWavInfo::TWavInfo(QTreeWidgetItem* tn, const QDomNode& nd, const std::string& programFolder)
    : TWavInfo(tn, nd.toElement(), CaptionOf(nd), programFolder) {}

TWavInfo::TWavInfo(QTreeWidgetItem* tn, const QDomElement& nd, const QString& caption,
                   const std::string& programFolder) {
    samplefile = SampleNameFromCaption(caption.toStdString());
    const QDomAttr wavAttr = QDomElement(nd).attributeNode("wav");
    if (!wavAttr.isNull()) {
        const std::string wav = wavAttr.value().toStdString();
        recfile = wav + ".wav";
        recfileUsable = IsPlainFileName(wav);
        // The caption's name wins when that sample exists; otherwise the
        // sample is looked up under the take's name, but only a plain name
        // may stand in for it (a name with folders could leave samples/).
        if (recfileUsable && !FileExists(SamplesFolder(programFolder) + samplefile)) samplefile = recfile;
    }
    if (tn) AttachWavInfo(tn, this);
}

QTreeWidgetItem* NewPhraseNode(const QString& caption) { return new TPhraseItem(caption); }

TWavInfo* WavInfoOf(const QTreeWidgetItem* item) { return item ? RecordFrom(item->data(0, kRecordRole)) : nullptr; }

const TWavInfo* WavInfoOf(const QModelIndex& node) { return RecordFrom(node.data(kRecordRole)); }

}  // namespace orvant
