#include "app/PhraseTree.h"

#include "app/WavInfo.h"

#include <QHeaderView>
#include <QHelpEvent>
#include <QPainter>
#include <QToolTip>

#include <algorithm>
#include <cmath>

namespace orvant {

namespace {

// The item data role under which a node gives its record.
const int kRecordRole = Qt::UserRole + 1;

// A tree node that carries its phrase record in a field of its own, which
// spares every node the item's generic data list.
class TPhraseItem : public QTreeWidgetItem {
public:
    TPhraseItem(const QString& text, const TWavInfo* r) : QTreeWidgetItem(UserType + 1), record(r) { setText(0, text); }
    QVariant data(int column, int role) const override {
        if (role == kRecordRole) return QVariant::fromValue<quintptr>(reinterpret_cast<quintptr>(record));
        return QTreeWidgetItem::data(column, role);
    }
    const TWavInfo* const record;
};

const TWavInfo* RecordFrom(const QVariant& data) { return reinterpret_cast<const TWavInfo*>(data.value<quintptr>()); }

}  // namespace

QTreeWidgetItem* NewPhraseNode(const TWavInfo& record) {
    return new TPhraseItem(QString::fromStdString(record.caption), &record);
}

const TWavInfo* WavInfoOf(const QTreeWidgetItem* item) {
    return item ? RecordFrom(item->data(0, kRecordRole)) : nullptr;
}

const TWavInfo* WavInfoOf(const QModelIndex& node) { return RecordFrom(node.data(kRecordRole)); }

namespace {

const QColor kTreeColour(220, 226, 233);
const QColor kTakeColour(0, 128, 0);
// The selection bar, and a recorded phrase's text on it: light, so that the
// selected row reads as well as the others.
const QColor kSelectionColour(0, 84, 168);
const QColor kSelectedTextColour(255, 255, 255);
const QColor kSelectedTakeColour(166, 255, 166);

}  // namespace

const QColor TPhraseTree::kLineColour(128, 128, 128);

TPhraseTree::TPhraseTree(TPhraseTreeHost* host, QWidget* parent) : QTreeWidget(parent) {
    setColumnCount(1);
    setHeaderHidden(true);
    header()->setStretchLastSection(true);
    setFrameStyle(QFrame::Box | QFrame::Plain);
    setLineWidth(1);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setAllColumnsShowFocus(true);
    setIndentation(19);
    setRootIsDecorated(true);
    setUniformRowHeights(true);
    setItemDelegate(new TPhraseTreeDelegate(host, this));
    QPalette tp = palette();
    for (QPalette::ColorGroup g : {QPalette::Active, QPalette::Inactive}) {
        tp.setColor(g, QPalette::Base, kTreeColour);
        tp.setColor(g, QPalette::Window, kTreeColour);
        tp.setColor(g, QPalette::Text, Qt::black);
        tp.setColor(g, QPalette::WindowText, Qt::black);  // frame, lines and expand buttons
        // The selection stays as visible while the tree has no focus.
        tp.setColor(g, QPalette::Highlight, kSelectionColour);
        tp.setColor(g, QPalette::HighlightedText, kSelectedTextColour);
    }
    setPalette(tp);
}

void TPhraseTree::ShowAsRecorded(QStyleOptionViewItem& option) {
    option.palette.setColor(QPalette::Text, kTakeColour);
    option.palette.setColor(QPalette::HighlightedText, kSelectedTakeColour);
}
const QColor TPhraseTreeDelegate::kBadge(176, 0, 32);
const QColor TPhraseTreeDelegate::kBadgeInk(255, 255, 255);
const QColor TPhraseTreeDelegate::kMarkerInk(150, 0, 0);
const QColor TPhraseTreeDelegate::kWaveInk(52, 84, 128);
const QColor TPhraseTreeDelegate::kWaveClipInk(230, 0, 0);

void TPhraseTree::drawBranches(QPainter* painter, const QRect& rect, const QModelIndex& index) const {
    const int indent = indentation();
    const int midY = rect.top() + rect.height() / 2;
    const auto hasLaterSibling = [](const QModelIndex& i) { return i.sibling(i.row() + 1, 0).isValid(); };
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing, false);
    QPen dots(kLineColour, 0);
    dots.setDashPattern({1, 1});
    painter->setPen(dots);

    // The node's own column: up to its parent or earlier sibling, across to
    // its caption, and down when a sibling follows.
    const int ownLeft = rect.right() + 1 - indent;
    const int cx = ownLeft + indent / 2;
    const bool up = index.row() > 0 || index.parent().isValid();
    painter->drawLine(cx, up ? rect.top() : midY, cx, hasLaterSibling(index) ? rect.bottom() : midY);
    painter->drawLine(cx, midY, ownLeft + indent - 2, midY);
    // The columns of its ancestors: a line passes where an ancestor has a
    // later sibling.
    int x = ownLeft - indent;
    for (QModelIndex a = index.parent(); a.isValid() && x >= rect.left(); a = a.parent(), x -= indent)
        if (hasLaterSibling(a)) painter->drawLine(x + indent / 2, rect.top(), x + indent / 2, rect.bottom());

    if (model()->hasChildren(index)) {
        const QRect box(cx - 4, midY - 4, 8, 8);
        painter->setPen(kLineColour);
        painter->fillRect(box, palette().color(QPalette::Base));
        painter->drawRect(box);
        painter->setPen(palette().color(QPalette::Text));
        painter->drawLine(cx - 2, midY, cx + 2, midY);
        if (!isExpanded(index)) painter->drawLine(cx, midY - 2, cx, midY + 2);
    }
    painter->restore();
}

// ---------------------------------------------------------------------------

TPhraseTreeDelegate::TPhraseTreeDelegate(TPhraseTreeHost* host, TPhraseTree* tree)
    : QStyledItemDelegate(tree), fHost(host), fTree(tree) {}

void TPhraseTreeDelegate::initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const {
    QStyledItemDelegate::initStyleOption(option, index);
    fHost->tvCustomDrawItem(fTree, index, *option);
}

QSize TPhraseTreeDelegate::sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const {
    QSize s = QStyledItemDelegate::sizeHint(option, index);
    s.setHeight(std::max(s.height(), int(TPhraseTree::kMinRowHeight)));
    return s;
}

void TPhraseTreeDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                                const QModelIndex& index) const {
    QStyledItemDelegate::paint(painter, option, index);
    const QString why = fHost->TakeMarker(index);
    const TTakePeaks* peaks = fHost->TakePeaks(index);
    if (why.isEmpty() && !peaks) return;
    QStyleOptionViewItem opt = option;
    initStyleOption(&opt, index);
    const QWidget* widget = opt.widget;
    const QRect text = widget->style()->subElementRect(QStyle::SE_ItemViewItemText, &opt, widget);
    const QFontMetrics& fm = opt.fontMetrics;
    const int afterCaption = text.left() + fm.horizontalAdvance(opt.text);
    if (why.isEmpty()) {
        PaintWave(painter, opt, *peaks, afterCaption + 16);
        return;
    }
    // Beside the caption: a red disc with a white "!" (on the selection bar,
    // which is as dark as the red, a white disc with a red "!"), then the
    // reasons in words.
    const bool selected = opt.state & QStyle::State_Selected;
    const int d = 11;
    const int x = text.left() + fm.horizontalAdvance(opt.text) + 10;
    const QRect disc(x, text.center().y() - d / 2, d, d);
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing, true);
    painter->setPen(Qt::NoPen);
    painter->setBrush(selected ? kBadgeInk : kBadge);
    painter->drawEllipse(disc);
    painter->setFont(opt.font);
    painter->setPen(selected ? kBadge : kBadgeInk);
    painter->drawText(disc, Qt::AlignCenter, "!");
    painter->setPen(selected ? opt.palette.color(QPalette::HighlightedText) : kMarkerInk);
    painter->drawText(QRect(disc.right() + 4, text.top(), text.right() - disc.right(), text.height()),
                      Qt::AlignLeft | Qt::AlignVCenter, why);
    painter->restore();
    if (peaks) PaintWave(painter, opt, *peaks, disc.right() + 4 + fm.horizontalAdvance(why) + 16);
}

void TPhraseTreeDelegate::PaintWave(QPainter* painter, const QStyleOptionViewItem& opt, const TTakePeaks& peaks,
                                    int x) const {
    const int left = std::max(x, kWaveLeft), width = int(TTakePeaks::kColumns);
    if (left + width > opt.rect.right() - 4) return;
    const int mid = opt.rect.center().y(), half = kWaveHeight / 2;
    const bool selected = opt.state & QStyle::State_Selected;
    const QColor ink = selected ? opt.palette.color(QPalette::HighlightedText) : kWaveInk;
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing, false);
    // The middle line shows the take's length even where it is silent;
    // each column a bar as high as its peak (on a square-root scale, so that
    // soft speech shows), red where it clipped.
    painter->fillRect(QRect(left, mid, width, 1), ink);
    for (size_t c = 0; c < TTakePeaks::kColumns; ++c) {
        const uint8_t p = peaks.peak[c];
        const int h = int(std::lround(half * std::sqrt(p / 255.0)));
        if (h > 0) painter->fillRect(QRect(left + int(c), mid - h, 1, 2 * h + 1), p == 255 ? kWaveClipInk : ink);
    }
    painter->restore();
}

bool TPhraseTreeDelegate::helpEvent(QHelpEvent* event, QAbstractItemView* view, const QStyleOptionViewItem& option,
                                    const QModelIndex& index) {
    if (event->type() != QEvent::ToolTip) return QStyledItemDelegate::helpEvent(event, view, option, index);
    const QString tip = fHost->NodeToolTip(fTree->ItemAt(index));
    if (tip.isEmpty())
        QToolTip::hideText();
    else
        QToolTip::showText(event->globalPos(), tip, view->viewport(), option.rect);
    return true;
}

}  // namespace orvant
