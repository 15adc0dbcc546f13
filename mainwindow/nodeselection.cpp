// Picking the node the proxy is to use.
#include "cmainwindow.h"

void CMainWindow::selectNodeFromTable()
{
    const QVector<int> rows = getSelectedRows();
    if (rows.isEmpty())
        return;
    // Several rows may be selected; the highest one wins.
    const int row = rows.first();
    // The blank rows shown before any list arrives hold no node.
    if (row >= m_nodeList.size())
        return;

    m_nSelectIndex = row;
    const NodeRecord record = m_nodeList.at(row);
    sendControl(control::makeSelectNode(record));
    // The service switches nodes only while stopped; the user starts it again.
    if (m_bRunning)
        toggleProxy();

    const QString name = control::fieldText(record.country);
    ui.m_lbNodeName->setText(name);
    showTips(QStringLiteral("选择了节点：%1").arg(name));
    refreshTrayMenu();
}

void CMainWindow::slotsSelectLinkNode(QTableWidgetItem *item)
{
    // The table's selection decides, not the cell that was hit.
    Q_UNUSED(item);
    selectNodeFromTable();
    showLinkPage();
}

void CMainWindow::slotsSelectNodeBtn(QAbstractButton *button)
{
    if (button == ui.m_btnNode_ok) {
        selectNodeFromTable();
        showLinkPage();
    } else if (button == ui.m_btnNode_flush) {
        requestNodes(control::kRequestNodesCode);
    }
}
