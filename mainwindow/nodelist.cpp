// The nodes the service sent and the table that shows them.
#include "cmainwindow.h"

#include "link/tcpserver.h"

#include <QColor>
#include <QItemSelectionModel>
#include <algorithm>
#include <array>
#include <functional>

namespace {

constexpr int kBlankRows = 20;
constexpr Qt::Alignment kCentred = Qt::AlignHCenter | Qt::AlignVCenter;
const QColor kSelectedNodeColour(255, 0, 0, 255);

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
    resetNodeList();
}

void CMainWindow::resetNodeList()
{
    ui.m_lbNodeName->setText(QStringLiteral("[请选择节点]"));
    m_nSelectIndex = -1;
    m_nodeList.clear();

    QTableWidget *table = ui.m_twNodeList;
    table->clearContents();
    table->setRowCount(0);
    for (int row = 0; row < kBlankRows; ++row) {
        table->insertRow(row);
        table->setItem(row, 0, new QTableWidgetItem(QString()));
        table->setItem(row, 1, new QTableWidgetItem(QString()));
    }
    refreshTrayMenu();
}

void CMainWindow::pollRecvMessage()
{
    if (!m_tcpServer)
        return;
    std::array<char, control::kMaxMessageSize> buffer;
    const int length = m_tcpServer->readData(buffer.data(), quint32(buffer.size()));
    if (length <= 0)
        return;

    QVector<NodeRecord> records;
    // A list that turns out to hold no whole record announces nothing, like a
    // count of 0: the nodes on show stay.
    if (!control::readNodeList(buffer.data(), length, &records) || records.isEmpty())
        return;
    m_nodeList = std::move(records);
    refreshNodeTable();
}

void CMainWindow::refreshNodeTable()
{
    QTableWidget *table = ui.m_twNodeList;
    const QVector<int> selected = getSelectedRows();
    const int keptRow = selected.isEmpty() ? -1 : selected.first();

    table->clearContents();
    table->setRowCount(0);
    for (int row = 0; row < m_nodeList.size(); ++row) {
        table->insertRow(row);
        auto *number = new QTableWidgetItem(QString::number(row + 1));
        auto *country = new QTableWidgetItem(control::fieldText(m_nodeList.at(row).country));
        number->setTextAlignment(kCentred);
        country->setTextAlignment(kCentred);
        table->setItem(row, 0, number);
        table->setItem(row, 1, country);
        // The selection survives the rebuild by row number, not by node.
        if (row == keptRow) {
            number->setSelected(true);
            country->setSelected(true);
        }
        if (row == m_nSelectIndex) {
            number->setForeground(kSelectedNodeColour);
            country->setForeground(kSelectedNodeColour);
        }
    }
    refreshTrayMenu();
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
