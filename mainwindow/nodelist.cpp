// The nodes the service sent and the table that shows them.
#include "cmainwindow.h"

#include "link/tcpserver.h"

#include <QApplication>
#include <QColor>
#include <QDebug>
#include <QFontMetricsF>
#include <QHash>
#include <QItemSelectionModel>
#include <QPainter>
#include <QSignalBlocker>
#include <QStaticText>
#include <QStyledItemDelegate>
#include <algorithm>
#include <functional>

namespace {

constexpr int kBlankRows = 20;
constexpr Qt::Alignment kCentred = Qt::AlignHCenter | Qt::AlignVCenter;
const QColor kSelectedNodeColour(255, 0, 0, 255);

// What a rebuild leaves marked: the highest row that was selected, kept by
// number, and the row of the picked node in red.
void markRows(QTableWidget *table, int keptRow, int redRow)
{
    table->clearSelection();
    for (int row = 0; row < table->rowCount(); ++row) {
        // A row's cells are marked together, so its first tells for both.
        const bool red = row == redRow;
        const bool wasRed = table->item(row, 0)->data(Qt::ForegroundRole).isValid();
        if (row != keptRow && red == wasRed)
            continue;
        for (int column = 0; column < table->columnCount(); ++column) {
            QTableWidgetItem *item = table->item(row, column);
            if (row == keptRow)
                item->setSelected(true);
            if (red == wasRed)
                continue;
            if (red)
                item->setForeground(kSelectedNodeColour);
            else
                item->setData(Qt::ForegroundRole, QVariant());
        }
    }
}

// A cell of the node table that reads its text from the node list when it is
// shown. Hundreds of rows come with each list and a score are on screen:
// copying every number and country into its cell was most of what filling the
// table cost. Rows beyond the list, the blank ones of an empty page, read as
// empty.
class NodeCell : public QTableWidgetItem
{
public:
    NodeCell(const QVector<NodeRecord> &nodes, int row, int column)
        : m_nodes(nodes), m_row(row), m_column(column)
    {
        setTextAlignment(kCentred);
    }

    QVariant data(int role) const override
    {
        if (role != Qt::DisplayRole && role != Qt::EditRole)
            return QTableWidgetItem::data(role);
        if (m_row >= m_nodes.size())
            return QString();
        return m_column == 0 ? QString::number(m_row + 1)
                             : control::fieldText(m_nodes.at(m_row).country);
    }

private:
    const QVector<NodeRecord> &m_nodes;
    const int m_row;
    const int m_column;
};

// Draws each cell's text from a layout kept between lists. The style lays every
// text out again at each paint, twice (to elide it, then to draw it), which
// was most of what showing a list cost. The style still draws the rest of the
// cell, and every text too wide for its cell (to elide it).
class NodeItemDelegate : public QStyledItemDelegate
{
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter *painter, const QStyleOptionViewItem &option,
               const QModelIndex &index) const override
    {
        QStyleOptionViewItem cell = option;
        initStyleOption(&cell, index);
        const QWidget *view = cell.widget;
        keepGridFast(painter, view);
        QStyle *style = view ? view->style() : QApplication::style();
        // The style's own margin and placement for a cell without an icon.
        const int margin = style->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, view) + 1;
        const QRect textArea = cell.rect.adjusted(margin, 0, -margin, 0);
        const Laid *text = cell.text.isEmpty() ? nullptr : &laidOut(cell.text, cell.font);
        if (!text || text->layout.size().width() > textArea.width()) {
            style->drawControl(QStyle::CE_ItemViewItem, &cell, painter, view);
            return;
        }
        // A cell that is not marked in any way has nothing for the style to
        // draw but its text.
        const bool marked = cell.state & (QStyle::State_Selected | QStyle::State_HasFocus |
                                          QStyle::State_MouseOver) ||
                            cell.features & (QStyleOptionViewItem::Alternate |
                                             QStyleOptionViewItem::HasCheckIndicator |
                                             QStyleOptionViewItem::HasDecoration) ||
                            cell.backgroundBrush.style() != Qt::NoBrush;
        if (marked) {
            cell.text.clear();
            style->drawControl(QStyle::CE_ItemViewItem, &cell, painter, view);
        }

        QPalette::ColorGroup group =
            cell.state & QStyle::State_Enabled ? QPalette::Normal : QPalette::Disabled;
        if (group == QPalette::Normal && !(cell.state & QStyle::State_Active))
            group = QPalette::Inactive;
        painter->save();
        painter->setFont(cell.font);
        painter->setPen(cell.palette.color(group, cell.state & QStyle::State_Selected
                                                      ? QPalette::HighlightedText
                                                      : QPalette::Text));
        const QRect at =
            QStyle::alignedRect(cell.direction, cell.displayAlignment, text->size, textArea);
        painter->drawStaticText(at.topLeft(), text->layout);
        painter->restore();
    }

private:
    // The view draws its grid with this painter after the cells. Without a
    // clip of its own, the raster engine draws those lines pixel by pixel,
    // which cost more than all the rest of a list; clipped to the rows' own
    // area, which cuts nothing, it fills them as spans.
    static void keepGridFast(QPainter *painter, const QWidget *view)
    {
        const auto *table = qobject_cast<const QAbstractScrollArea *>(view);
        if (table && !painter->hasClipping())
            painter->setClipRect(table->viewport()->rect());
    }

    struct Laid
    {
        QStaticText layout;
        // Placed as the style places a line: by its height without leading.
        QSize size;
    };

    const Laid &laidOut(const QString &text, const QFont &font) const
    {
        // Numbers and country names: a few hundred; a bound all the same.
        if (m_laidOut.size() > 4 * control::kMaxNodeRecords)
            m_laidOut.clear();
        auto found = m_laidOut.find(text);
        if (found == m_laidOut.end()) {
            QStaticText layout(text);
            layout.setTextFormat(Qt::PlainText);
            layout.setPerformanceHint(QStaticText::AggressiveCaching);
            layout.prepare(QTransform(), font);
            const QSize size = QSizeF(layout.size().width(), QFontMetricsF(font).height()).toSize();
            found = m_laidOut.insert(text, Laid{layout, size});
        }
        return *found;
    }

    mutable QHash<QString, Laid> m_laidOut;
};

} // namespace

void CMainWindow::setupNodeTable()
{
    QTableWidget *table = ui.m_twNodeList;
    table->setFrameShape(QFrame::NoFrame);
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table->setSelectionMode(QAbstractItemView::ExtendedSelection);
    table->setSelectionBehavior(QAbstractItemView::SelectRows);
    table->setTextElideMode(Qt::ElideMiddle);
    table->verticalHeader()->setVisible(false);
    table->horizontalHeader()->setVisible(true);
    table->setColumnCount(2);
    table->setHorizontalHeaderLabels({QStringLiteral("序号"), QStringLiteral("国家")});
    table->setItemDelegate(new NodeItemDelegate(table));
    resetNodeList();
    showNodeInUse();
}

void CMainWindow::resetNodeList()
{
    QTableWidget *table = ui.m_twNodeList;
    table->clearContents();
    table->setRowCount(0);
    table->setRowCount(kBlankRows);
    for (int row = 0; row < kBlankRows; ++row) {
        for (int column = 0; column < 2; ++column)
            table->setItem(row, column, new NodeCell(m_session->nodes(), row, column));
    }
}

void CMainWindow::pollRecvMessage()
{
    if (!m_tcpServer)
        return;
    // Everything that arrived since the last tick; of the node lists among it
    // only the newest the window would show matters.
    const RecvQueue::Batch arrived = m_tcpServer->takeMessages();
    control::NodeRecords newest;
    int lists = 0;
    arrived.forEach([&](const char *message, int length) {
        const control::NodeRecords list = control::acceptedNodeList(message, length);
        if (list.count > 0) {
            newest = list;
            ++lists;
        }
    });
    if (lists > 1)
        qDebug("pollRecvMessage: %d older node lists dropped for the newest", lists - 1);
    if (newest.count > 0)
        m_session->listArrived(newest.data, newest.count);
}

void CMainWindow::refreshNodeTable()
{
    QTableWidget *table = ui.m_twNodeList;
    const QVector<NodeRecord> &nodes = m_session->nodes();
    const QVector<int> selected = getSelectedRows();
    const int keptRow = selected.isEmpty() ? -1 : selected.first();

    // One batch: the rows are counted once, and drawn once the fill is done.
    // Only the rows' own area stops drawing; stopping the whole table would
    // make it redraw the window behind its frame too.
    QWidget *rows = table->viewport();
    rows->setUpdatesEnabled(false);
    // The style sheet takes the painting of the rows' background over from the
    // rows' area, which then counts as see-through: each new list painted the
    // window, the page and the table's frame behind it first. Filled with the
    // base colour the style paints over anyway, the area is opaque and drawn
    // alone. Set here, as every polish of the window undoes it.
    rows->setAutoFillBackground(true);
    // What emptying the table would reset, without the scroll bar leaving
    // and coming back, which lays out the whole page again.
    table->selectionModel()->clearCurrentIndex();
    table->scrollToTop();
    const int oldRows = table->rowCount();
    table->setRowCount(nodes.size());
    // One signal for all the cells, not one for each: the view would work out
    // hundreds of times what to draw again, and then draws all the rows anyway.
    QAbstractItemModel *cells = table->model();
    QSignalBlocker quiet(cells);
    // The rows that are there keep their cells, which read the new list; only
    // new rows need cells of their own.
    for (int row = oldRows; row < nodes.size(); ++row) {
        for (int column = 0; column < 2; ++column)
            table->setItem(row, column, new NodeCell(nodes, row, column));
    }
    quiet.unblock();
    if (!nodes.isEmpty())
        emit cells->dataChanged(cells->index(0, 0), cells->index(nodes.size() - 1, 1));
    // The selection survives the rebuild by row number, not by node.
    markRows(table, keptRow, m_session->nodeInUseRow());
    // The layout the table would do on its next pass for the new rows, done
    // now, so that they are drawn once and not again right after.
    if (oldRows != nodes.size())
        table->doItemsLayout();
    rows->setUpdatesEnabled(true);
}

void CMainWindow::markNodeRows()
{
    const QVector<int> selected = getSelectedRows();
    markRows(ui.m_twNodeList, selected.isEmpty() ? -1 : selected.first(),
             m_session->nodeInUseRow());
}

QVector<int> CMainWindow::getSelectedRows()
{
    QVector<int> rows;
    const QModelIndexList indexes = ui.m_twNodeList->selectionModel()->selectedIndexes();
    rows.reserve(indexes.size());
    for (const QModelIndex &index : indexes)
        rows.append(index.row());
    std::sort(rows.begin(), rows.end(), std::greater<int>());
    rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
    return rows;
}

void CMainWindow::requestNodes(quint8 code)
{
    sendControl(control::makeRequestNodes(code));
}
