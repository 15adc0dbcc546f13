// Picking the node the proxy is to use.
#include "cmainwindow.h"

void CMainWindow::selectNodeFromTable()
{
    const QVector<int> rows = getSelectedRows();
    // Several rows may be selected; the highest one wins. The blank rows shown
    // before any list arrives hold no node.
    if (rows.isEmpty() || !m_session->pickNode(rows.first()))
        return;
    showTips(QStringLiteral("选择了节点：%1").arg(ui.m_lbNodeName->text()));
}

void CMainWindow::showNodeInUse()
{
    const std::optional<NodeRecord> &node = m_session->nodeInUse();
    ui.m_lbNodeName->setText(node ? control::fieldText(node->country)
                                  : QStringLiteral("[请选择节点]"));
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
