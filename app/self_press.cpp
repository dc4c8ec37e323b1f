#include "app/self_press.h"

#include "app/controls.h"
#include "app/main_window.h"
#include "app/seams.h"

#include <QCoreApplication>
#include <QPixmap>
#include <QPushButton>
#include <QTimer>

#include <cstdio>

namespace {

void Print(const QString& text)
{
    std::fputs(text.toUtf8().constData(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

} // namespace

void PressTestOnce(TForm1& form, const QString& picture)
{
    StationMessageHook = [](const QString& text) { Print(QStringLiteral("message: ") + text); };
    GeneralErrorBoxHook = [](const QString& text) { Print(QStringLiteral("error: ") + text); };
    QTimer::singleShot(0, &form, [&form, picture] {
        form.BitBtn1->click();
        Print(QStringLiteral("journal:"));
        for (const QString& line : form.ListBox2->lines())
            Print(QStringLiteral("  ") + line);
        Print(QStringLiteral("status: ") + form.Panel1->caption());
        if (!picture.isEmpty()) {
            if (form.grab().save(picture, "PNG"))
                Print(QStringLiteral("picture: ") + picture);
            else
                Print(QStringLiteral("picture: cannot write ") + picture);
        }
        const int state = form.runResultState();
        QCoreApplication::exit(state == 1 ? 0 : state == 2 ? 1 : 2);
    });
}
