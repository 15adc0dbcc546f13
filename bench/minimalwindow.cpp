// The reference of bench_startup: the least a Qt Widgets program does to show a
// window with Chinese text, started and ended the way greenlark is.
#include <QApplication>
#include <QLabel>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QLabel label(QStringLiteral("服务未连接"));
    label.show();
    return app.exec();
}
