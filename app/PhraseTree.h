// The phrase tree's nodes, each carrying its phrase record, their look and
// drawing: a tree widget with the window's
// colours that draws its branch lines and expand boxes, and the item delegate
// through which the window that shows it colours the items, marks takes that
// failed a check, draws each take's waveform and gives the tooltips.
#pragma once

#include <QStyledItemDelegate>
#include <QTreeWidget>

#include "wave/WaveCheck.h"

namespace orvant {

class TWavInfo;

// A new tree node showing record's caption that carries the record at
// little cost: catalogues of thousands of phrases build one per element.
QTreeWidgetItem* NewPhraseNode(const TWavInfo& record);

// The record a tree node (or the node behind a tree model index) carries,
// or nullptr.
const TWavInfo* WavInfoOf(const QTreeWidgetItem* item);
const TWavInfo* WavInfoOf(const QModelIndex& node);

// What the tree's drawing asks of the window that shows the tree.
class TPhraseTreeHost {
public:
    // Called for every item before it is painted, with the colours the tree
    // would paint it in: may change them (see TPhraseTree::ShowAsRecorded).
    virtual void tvCustomDrawItem(QTreeWidget* sender, const QModelIndex& node, QStyleOptionViewItem& option) = 0;
    // The words beside an item whose take failed a check; empty for none.
    virtual QString TakeMarker(const QModelIndex& node) const = 0;
    // The item's tooltip; empty for none.
    virtual QString NodeToolTip(const QTreeWidgetItem* item) const = 0;
    // The peak summary of the item's own take, drawn right of its caption;
    // nullptr when it has none (yet).
    virtual const TTakePeaks* TakePeaks(const QModelIndex& node) const = 0;

protected:
    ~TPhraseTreeHost() = default;
};

class TPhraseTree : public QTreeWidget {
    Q_OBJECT
public:
    // A read-only tree of one column without header, on the window's light
    // background with a selection bar that stays visible without the focus,
    // whose items host draws.
    TPhraseTree(TPhraseTreeHost* host, QWidget* parent);
    QTreeWidgetItem* ItemAt(const QModelIndex& index) const { return itemFromIndex(index); }

    // Gives the item the text colours of a recorded phrase: green, and a
    // light green on the selection bar.
    static void ShowAsRecorded(QStyleOptionViewItem& option);

    static const QColor kLineColour;
    static constexpr int kMinRowHeight = 16;

protected:
    // Dotted lines from each node to its parent and on to its later
    // siblings, and a boxed plus or minus on nodes that have children.
    void drawBranches(QPainter* painter, const QRect& rect, const QModelIndex& index) const override;
};

class TPhraseTreeDelegate : public QStyledItemDelegate {
    Q_OBJECT
public:
    TPhraseTreeDelegate(TPhraseTreeHost* host, TPhraseTree* tree);

    // The badge of a take that failed a check, and its words beside it.
    static const QColor kBadge, kBadgeInk, kMarkerInk;
    // A take's waveform: its bars, and those of its clipped parts.
    static const QColor kWaveInk, kWaveClipInk;
    // Where the waveforms stand in the rows (from the viewport's left, or
    // after a longer caption), and their height.
    static constexpr int kWaveLeft = 330, kWaveHeight = 12;

    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    bool helpEvent(QHelpEvent* event, QAbstractItemView* view, const QStyleOptionViewItem& option,
                   const QModelIndex& index) override;

protected:
    void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override;

private:
    // Draws the take's waveform right of x in the row; nothing without room.
    void PaintWave(QPainter* painter, const QStyleOptionViewItem& opt, const TTakePeaks& peaks, int x) const;

    TPhraseTreeHost* fHost;
    TPhraseTree* fTree;
};

}  // namespace orvant
