#include <QCheckBox>
#include <QComboBox>

#include <sys/stat.h>

#include "base/fileutil.h"
#include "tests/app/windowharness.h"

namespace tessaly {
namespace {

struct TShown {
  const char* label;
  Text file;  // "<none>": no settings file
  const char* address;
  const char* interval;
  int unit;
  bool bell;
  const char* directory;  // "<home>": the home directory
  const char* counter;
};

class WindowSettingsTest : public WindowTest, public testing::WithParamInterface<TShown> {};

TEST_P(WindowSettingsTest, FieldsShowTheLoadedSettings) {
  const TShown& c = GetParam();
  if (c.file != "<none>") WriteIni(c.file);
  const QString directory = QString::fromLatin1(c.directory) == QStringLiteral("<home>")
                                ? QString::fromUtf8(Home())
                                : QString::fromLatin1(c.directory);
  EXPECT_EQ(Field("Edit1")->text(), QString::fromLatin1(c.address));
  EXPECT_EQ(Field("Edit2_Timer")->text(), QString::fromLatin1(c.interval));
  EXPECT_EQ(Get<QComboBox>("ComboBox1_Time")->currentIndex(), c.unit);
  EXPECT_EQ(Get<QCheckBox>("CheckBox_bell")->isChecked(), c.bell);
  EXPECT_EQ(Field("Edit3_Directory")->text(), directory);
  EXPECT_EQ(Field("Edit_counter")->text(), QString::fromLatin1(c.counter));
  EXPECT_EQ(Form().IniFileName(), Home() + "tessaly.ini");
  EXPECT_TRUE(desktop_->messages.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Files, WindowSettingsTest,
    testing::Values(
        TShown{"NoFile", "<none>", "http://", "10", 0, false, "<home>", "1"},
        TShown{"Loaded", "http://a/b.jpg\r\n30\r\n1\r\n1\r\n/srv/\r\n5\r\n", "http://a/b.jpg",
               "30", 1, true, "/srv/", "5"},
        TShown{"DigitFilterOnLoad", "a\r\n1a0\r\n0\r\n0\r\n/d/\r\nabc\r\n", "a", "10", 0, false,
               "/d/", ""},
        TShown{"NoUnit", "a\r\n3\r\n5\r\n0\r\n/d/\r\n2\r\n", "a", "3", -1, false, "/d/", "2"},
        TShown{"BrokenBell", "a\r\n30\r\n1\r\nx\r\n/d/\r\n2\r\n", "http://", "30", 0, false,
               "<home>", "1"}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(WindowTest, UnselectedUnitIsSavedAsMinusOne) {
  WriteIni("a\r\n3\r\n5\r\n2\r\n/d/\r\n2\r\n");
  Form().close();
  Text saved;
  ASSERT_TRUE(ReadWholeFile(Form().IniFileName(), saved));
  EXPECT_EQ(saved, "a\r\n3\r\n-1\r\n1\r\n/d/\r\n2\r\n");
}

TEST_F(WindowTest, UnwritableSettingsFileGetsTheMessageBox) {
  // A directory where the file should be makes every write fail.
  ASSERT_EQ(::mkdir((Home() + "tessaly.ini").c_str(), 0755), 0);
  Form().close();
  ASSERT_EQ(desktop_->messages.size(), 1u);
  EXPECT_EQ(desktop_->messages[0].title, QStringLiteral("Tessaly"));
  EXPECT_EQ(desktop_->messages[0].text,
            QStringLiteral("Error: Can't save ini file\r\n") +
                QString::fromUtf8(Home() + "tessaly.ini") + QStringLiteral("\r\nProbably disk full"));
}

}  // namespace
}  // namespace tessaly
