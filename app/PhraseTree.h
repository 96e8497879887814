// The phrase tree's drawing: a tree widget that draws its branch lines and
// expand boxes, and the item delegate through which the main window colours
// the items, marks takes that failed a check and gives the tooltips.
#pragma once

#include <QStyledItemDelegate>
#include <QTreeWidget>

namespace orvant {

class TDlgSndRecMain;

class TPhraseTree : public QTreeWidget {
    Q_OBJECT
public:
    using QTreeWidget::QTreeWidget;
    QTreeWidgetItem* ItemAt(const QModelIndex& index) const { return itemFromIndex(index); }

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
    TPhraseTreeDelegate(TDlgSndRecMain* form, TPhraseTree* tree);

    // The badge of a take that failed a check, and its words beside it.
    static const QColor kBadge, kBadgeInk, kMarkerInk;

    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    bool helpEvent(QHelpEvent* event, QAbstractItemView* view, const QStyleOptionViewItem& option,
                   const QModelIndex& index) override;

protected:
    void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override;

private:
    TDlgSndRecMain* fForm;
    TPhraseTree* fTree;
};

}  // namespace orvant
