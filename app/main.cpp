#include <QApplication>
#include <QWidget>

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationDisplayName(QString::fromUtf8("Тестирование ЦФН-ЛР"));
    QWidget w;
    w.setWindowTitle(QString::fromUtf8("Тестирование ЦФН-ЛР"));
    w.setFixedSize(384, 508);
    w.show();
    return app.exec();
}
