#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QDir>
#include <QEnterEvent>
#include <QFileInfo>
#include <QGuiApplication>
#include <QLabel>
#include <QMouseEvent>
#include <QScreen>

#include "app/linklabel.h"
#include "app/qtext.h"
#include "tests/app/windowharness.h"

namespace tessaly {
namespace {

struct TControlRow {
  const char* name;
  const char* kind;
  QRect geometry;  // an empty size: sized to its text
  const char* text;
  const char* hint;
  bool enabled, bold;
};

const TControlRow kControls[] = {
    {"Edit1",
     "QLineEdit",
     {64, 16, 457, 21},
     "http://",
     "Enter HTTP address of an image in the Internet",
     true,
     false},
    {"Button1_Start", "QPushButton", {352, 56, 75, 25}, "Start", "Start download", true, false},
    {"Button2_Stop", "QPushButton", {448, 56, 75, 25}, "Stop", "Stop download", false, false},
    {"Edit2_Timer",
     "QLineEdit",
     {64, 56, 57, 21},
     "10",
     "Minimal Interval between downloads",
     true,
     false},
    {"ComboBox1_Time", "QComboBox", {128, 56, 49, 22}, "Sec", "Seconds or Minutes", true, false},
    {"Edit3_Directory",
     "QLineEdit",
     {64, 104, 417, 21},
     "<home>",
     "Directory for saved files",
     true,
     false},
    {"Button_Selct_Dir", "QPushButton", {488, 102, 33, 25}, ">>", "Select Directory", true, false},
    {"CheckBox_bell",
     "QCheckBox",
     {208, 60, 49, 17},
     "Bell",
     "Ring the Bell every download",
     true,
     true},
    {"Edit_counter",
     "QLineEdit",
     {64, 144, 57, 21},
     "1",
     "Initial value of  the counter",
     true,
     false},
    {"Label1", "QLabel", {16, 19, 0, 0}, "URL:", "", true, true},
    {"Label2", "QLabel", {6, 58, 0, 0}, "Interval:", "", true, true},
    {"Label3", "QLabel", {8, 106, 0, 0}, "Save To:", "", true, true},
    {"Label4", "QLabel", {8, 146, 0, 0}, "Counter:", "", true, true},
    {"Label_http",
     "tessaly::TEL_Label",
     {408, 160, 0, 0},
     kHomepage,
     "Visit the homepage",
     true,
     false},
};

class ControlTest : public WindowTest, public testing::WithParamInterface<TControlRow> {};

TEST_P(ControlTest, NamedPlacedCaptionedAndHinted) {
  const TControlRow& c = GetParam();
  QWidget* widget = Get(c.name);
  ASSERT_NE(widget, nullptr);
  EXPECT_STREQ(widget->metaObject()->className(), c.kind);
  QString text = widget->property("text").toString();
  if (auto* combo = qobject_cast<QComboBox*>(widget)) text = combo->currentText();
  EXPECT_EQ(text, QString::fromLatin1(c.text).replace(QStringLiteral("<home>"), QHome()));
  EXPECT_EQ(widget->toolTip(), QString::fromLatin1(c.hint));
  EXPECT_EQ(widget->isEnabled(), c.enabled);
  EXPECT_EQ(widget->font().bold(), c.bold);
  EXPECT_EQ(widget->font().pointSize(), 8);
  if (!c.geometry.isEmpty()) {
    EXPECT_EQ(widget->geometry(), c.geometry);
  } else {
    EXPECT_EQ(widget->pos(), c.geometry.topLeft());
    EXPECT_EQ(widget->size(), widget->sizeHint()) << "sized to its text";
    EXPECT_LE(widget->geometry().right(), Form().width());
  }
}

INSTANTIATE_TEST_SUITE_P(Table, ControlTest, testing::ValuesIn(kControls),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(WindowTest, TabOrderFollowsTheTable) {
  std::vector<QString> order;
  QWidget* widget = Get("Edit1");
  do {
    if (widget->focusPolicy() & Qt::TabFocus) order.push_back(widget->objectName());
    widget = widget->nextInFocusChain();
  } while (widget != Get("Edit1") && order.size() < 40);
  EXPECT_EQ(order, (std::vector<QString>{"Edit1", "Button1_Start", "Button2_Stop", "Edit2_Timer",
                                         "ComboBox1_Time", "Edit3_Directory", "Button_Selct_Dir",
                                         "CheckBox_bell", "Edit_counter"}));
}

TEST_F(WindowTest, FixedCentredDialogWithCaptionIconAndLists) {
  TForm1& form = Form();
  form.show();
  EXPECT_EQ(form.windowTitle(), QStringLiteral("TESSALY Version 1.01"));
  EXPECT_EQ(form.size(), QSize(534, 181));
  EXPECT_EQ(form.minimumSize(), form.maximumSize());
  EXPECT_FALSE(form.windowFlags() & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint));
  EXPECT_TRUE(form.windowFlags() & Qt::WindowCloseButtonHint);
  const QPoint centre = QGuiApplication::primaryScreen()->availableGeometry().center();
  EXPECT_LE((form.frameGeometry().center() - centre).manhattanLength(), 1);
  const QImage icon = form.windowIcon().pixmap(32, 32).toImage();
  EXPECT_EQ(icon.size(), QSize(32, 32));
  EXPECT_GT(qAlpha(icon.pixel(16, 16)), 0) << "the icon is drawn";
  auto* units = Get<QComboBox>("ComboBox1_Time");
  EXPECT_FALSE(units->isEditable());
  EXPECT_EQ(units->count(), 2);
  EXPECT_EQ(units->itemText(1), QStringLiteral("Min"));
  EXPECT_FALSE(Timer()->isActive());
}

TEST_F(WindowTest, LinkIsBlueUnderlinedPinkUnderTheMouseAndOpensTheHomepage) {
  auto* link = Get<TEL_Label>("Label_http");
  auto colour = [&] { return link->palette().color(QPalette::WindowText); };
  EXPECT_TRUE(link->font().underline());
  EXPECT_EQ(colour(), QColor(0, 0, 255));
  const QPointF at(2, 2), global = link->mapToGlobal(at);
  QEnterEvent enter(at, at, global);
  QCoreApplication::sendEvent(link, &enter);
  EXPECT_EQ(colour(), QColor(255, 32, 245));
  QEvent leave(QEvent::Leave);
  QCoreApplication::sendEvent(link, &leave);
  EXPECT_EQ(colour(), QColor(0, 0, 255));
  QMouseEvent press(QEvent::MouseButtonPress, at, global, Qt::LeftButton, Qt::LeftButton, {});
  QMouseEvent release(QEvent::MouseButtonRelease, at, global, Qt::LeftButton, {}, {});
  QCoreApplication::sendEvent(link, &press);
  QCoreApplication::sendEvent(link, &release);
  ASSERT_EQ(desktop_->opened.size(), 1u);
  EXPECT_EQ(desktop_->opened[0].host(), QString::fromLatin1(kHomepage));
}

enum class TInput { Type, PasteMenu, PasteKey };

struct TEntry {
  const char* name;
  TInput input;
  const char* before;
  const char* entered;
  const char* after;
};

class NumberFieldTest : public WindowTest,
                        public testing::WithParamInterface<std::tuple<const char*, TEntry>> {};

TEST_P(NumberFieldTest, HoldsDigitsOnly) {
  const auto& [name, entry] = GetParam();
  QLineEdit* field = Field(name);
  field->setText(QString::fromLatin1(entry.before));
  const QString entered = QString::fromUtf8(entry.entered);
  if (entry.input == TInput::Type) {
    TypeText(field, entered);
  } else {
    QGuiApplication::clipboard()->setText(entered);
    if (entry.input == TInput::PasteKey)
      PressKey(field, Qt::Key_V, QStringLiteral("\x16"), Qt::ControlModifier);
    else
      field->paste();
  }
  EXPECT_EQ(field->text(), QString::fromLatin1(entry.after));
}

INSTANTIATE_TEST_SUITE_P(
    Entries, NumberFieldTest,
    testing::Combine(testing::Values("Edit2_Timer", "Edit_counter"),
                     testing::Values(TEntry{"TypedLetter", TInput::Type, "", "1a2", "12"},
                                     TEntry{"TypedSpaceMinusPlus", TInput::Type, "4", " -+", "4"},
                                     TEntry{"PastedSignSpaceLetter", TInput::PasteMenu, "", "-5 x",
                                            "5"},
                                     TEntry{"PastedLetters", TInput::PasteKey, "", "abc", ""},
                                     TEntry{"PastedOtherDigits", TInput::PasteKey, "",
                                            "\xc2\xb9\xd9\xa3"
                                            "7",
                                            "7"},
                                     TEntry{"ProgramText", TInput::Type, "1x2y3", "", "123"})),
    [](const auto& info) {
      return std::string(std::get<0>(info.param)) + "_" + std::get<1>(info.param).name;
    });

class NumberFieldKeysTest : public WindowTest, public testing::WithParamInterface<const char*> {};

TEST_P(NumberFieldKeysTest, RefusedKeysNeverReachItEditingKeysDo) {
  QLineEdit* field = Field(GetParam());
  field->setText(QStringLiteral("12345"));
  int changes = 0;
  QObject::connect(field, &QLineEdit::textChanged, field, [&] { ++changes; });
  TypeText(field, QStringLiteral(" -a+$"));
  PressKey(field, Qt::Key_Return, QStringLiteral("\r"));
  EXPECT_EQ(changes, 0) << "a refused key changed the field, if only for a moment";
  PressKey(field, Qt::Key_Backspace, QStringLiteral("\b"));
  PressKey(field, Qt::Key_Home, QString());
  PressKey(field, Qt::Key_Delete, QStringLiteral("\x7f"));
  PressKey(field, Qt::Key_Right, QString());
  TypeText(field, QStringLiteral("9"));
  EXPECT_EQ(field->text(), QStringLiteral("2934"));
  EXPECT_EQ(field->cursorPosition(), 2);
}

INSTANTIATE_TEST_SUITE_P(Fields, NumberFieldKeysTest,
                         testing::Values("Edit2_Timer", "Edit_counter"));

TEST_F(WindowTest, AddressAndDirectoryTakeAnyText) {
  for (const char* name : {"Edit1", "Edit3_Directory"}) {
    Field(name)->clear();
    TypeText(Field(name), QStringLiteral("a -1 b"));
    EXPECT_EQ(Field(name)->text(), QStringLiteral("a -1 b"));
  }
}

// The picker starts at LastDir made absolute (not at what was typed), else at the current
// directory; OK takes exactly the picked path, Cancel changes nothing.
struct TPick {
  const char* name;
  const char* last_dir;  // below the home directory, which is the current one here
  const char* start;
  bool ok;
};

class PickerTest : public WindowTest, public testing::WithParamInterface<TPick> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(QDir(QHome()).mkdir(QStringLiteral("sub")));
    ASSERT_TRUE(QDir::setCurrent(QHome()));
  }
  void TearDown() override { QDir::setCurrent(saved_cwd_); }
  QString saved_cwd_ = QDir::currentPath();
};

TEST_P(PickerTest, StartsAtLastDirAndReturnsThePick) {
  const TPick& c = GetParam();
  home_.WriteFile(kIniName, "http://\r\n10\r\n0\r\n0\r\n" + Text(c.last_dir) + "\r\n1\r\n");
  Field("Edit3_Directory")->setText(QStringLiteral("typed"));
  const QString picked = QHome() + QStringLiteral("picked dir");
  if (c.ok) desktop_->picker_answer = picked;
  Click("Button_Selct_Dir");
  ASSERT_EQ(desktop_->picker_starts.size(), 1u);
  EXPECT_EQ(desktop_->titles, std::vector<QString>{QStringLiteral("Select Directory")});
  EXPECT_EQ(QFileInfo(desktop_->picker_starts[0]).canonicalFilePath(),
            QFileInfo(QHome() + QString::fromLatin1(c.start)).canonicalFilePath());
  EXPECT_TRUE(QFileInfo(desktop_->picker_starts[0]).isAbsolute());
  EXPECT_EQ(Field("Edit3_Directory")->text(), c.ok ? picked : QStringLiteral("typed"));
  EXPECT_EQ(Form().Scheduler().LastDir(), c.ok ? ToText(picked) : Text(c.last_dir));
}

INSTANTIATE_TEST_SUITE_P(LastDirs, PickerTest,
                         testing::Values(TPick{"Relative", "sub", "sub", true},
                                         TPick{"Dot", ".", "", false},
                                         TPick{"Missing", "gone/", "", true},
                                         TPick{"Empty", "", "", false}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tessaly
