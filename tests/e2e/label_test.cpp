// The label after a passed run against the stand-in unit: the serial the unit reported
// is in the text and in the barcode.
#include "unit_harness.h"

#include "app/controls.h"
#include "app/seams.h"
#include "barcode/decode_support.h"

#include <QPrinter>

#include <gtest/gtest.h>

using namespace e2e;

TEST(Label, PrintedAfterAPassedRunCarriesTheUnitsSerial)
{
    if (bctest::Run("command -v pdftotext pdftoppm zbarimg >/dev/null").status != 0)
        GTEST_SKIP() << "poppler-utils and zbar-tools are needed (scripts/install-deps)";
    TStandIn unit(QStringLiteral("pass"));
    ASSERT_TRUE(unit.ok()) << "stand-in unit did not start";
    TStation st;
    st.run();
    ASSERT_EQ(st.form().runResultState(), 1);
    ASSERT_EQ(st.form().LabeledEdit2->text(), QStringLiteral("0123456789ABCDEF"));

    const std::string pdf = st.dir().toStdString() + "/label.pdf";
    QPrinter& printer = StationPrinter();
    printer.setOutputFormat(QPrinter::PdfFormat);
    printer.setOutputFileName(QString::fromStdString(pdf));
    printer.setResolution(300);
    StationPrintDialogHook = [](QPrinter&) { return PrintDialogOutcome{true, 1}; };
    st.form().BitBtn2Click();
    StationPrintDialogHook = nullptr;
    EXPECT_TRUE(st.messages.isEmpty()) << st.messages.join('\n').toStdString();

    const std::string text = bctest::Run("pdftotext " + bctest::Quote(pdf) + " - 2>/dev/null").out;
    EXPECT_NE(text.find("серийный номер:0123456789ABCDEF"), std::string::npos) << text;
    EXPECT_NE(text.find("тест выполнен успешно"), std::string::npos) << text;
    bctest::Run("pdftoppm -r 600 -gray -singlefile " + bctest::Quote(pdf) + " "
                + bctest::Quote(pdf + ".scan"));
    EXPECT_EQ(bctest::ZbarDecode({pdf + ".scan.pgm"}),
              std::vector<std::string>{"0123456789ABCDEF-"
                                       + st.now.toString("ddMMyy").toStdString()});
}
