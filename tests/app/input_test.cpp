#include <QClipboard>
#include <QDir>
#include <QFileInfo>
#include <QEnterEvent>
#include <QGuiApplication>
#include <QMouseEvent>

#include <QKeyEvent>

#include "app/digitfilter.h"
#include "app/linklabel.h"
#include "app/qtext.h"
#include "tests/app/windowharness.h"

namespace tessaly {
namespace {

struct TTyping {
  const char* label;
  const char* before;
  const char* typed;
  const char* after;
};

class NumberFieldTypingTest
    : public WindowTest,
      public testing::WithParamInterface<std::tuple<const char*, TTyping>> {};

TEST_P(NumberFieldTypingTest, OnlyDigitsGetIn) {
  const auto& [field_name, typing] = GetParam();
  QLineEdit* field = Field(field_name);
  field->setText(QString::fromLatin1(typing.before));
  field->end(false);
  TypeText(field, QString::fromLatin1(typing.typed));
  EXPECT_EQ(field->text(), QString::fromLatin1(typing.after));
}

INSTANTIATE_TEST_SUITE_P(
    Fields, NumberFieldTypingTest,
    testing::Combine(testing::Values("Edit2_Timer", "Edit_counter"),
                     testing::Values(TTyping{"DigitsAndLetter", "", "1a2", "12"},
                                     TTyping{"SpaceAndMinus", "4", " -", "4"},
                                     TTyping{"Letters", "", "abc", ""},
                                     TTyping{"AppendsDigits", "10", "05", "1005"})),
    [](const auto& info) {
      return std::string(std::get<0>(info.param)) + "_" + std::get<1>(info.param).label;
    });

struct TPaste {
  const char* label;
  const char* pasted;
  const char* after;
};

class NumberFieldPasteTest
    : public WindowTest,
      public testing::WithParamInterface<std::tuple<const char*, bool, TPaste>> {};

TEST_P(NumberFieldPasteTest, PastedTextKeepsItsDigits) {
  const auto& [field_name, by_key, paste] = GetParam();
  QLineEdit* field = Field(field_name);
  field->clear();
  QGuiApplication::clipboard()->setText(QString::fromUtf8(paste.pasted));
  if (by_key)
    PressKey(field, Qt::Key_V, QStringLiteral("\x16"), Qt::ControlModifier);
  else
    field->paste();
  EXPECT_EQ(field->text(), QString::fromLatin1(paste.after));
}

INSTANTIATE_TEST_SUITE_P(
    Fields, NumberFieldPasteTest,
    testing::Combine(testing::Values("Edit2_Timer", "Edit_counter"), testing::Bool(),
                     testing::Values(TPaste{"MinusFiveSpaceLetter", "-5 x", "5"},
                                     TPaste{"Letters", "abc", ""},
                                     TPaste{"Mixed", "1a2b3\t4\n", "1234"},
                                     TPaste{"NonAscii", "\xc2\xb9\xd9\xa3" "7", "7"})),
    [](const auto& info) {
      return std::string(std::get<0>(info.param)) + (std::get<1>(info.param) ? "_Key_" : "_Menu_") +
             std::get<2>(info.param).label;
    });

class NumberFieldEditingTest : public WindowTest,
                               public testing::WithParamInterface<const char*> {};

TEST_P(NumberFieldEditingTest, BackspaceDeleteAndCursorKeysWork) {
  QLineEdit* field = Field(GetParam());
  field->setText(QStringLiteral("12345"));
  field->end(false);
  PressKey(field, Qt::Key_Backspace, QStringLiteral("\b"));
  EXPECT_EQ(field->text(), QStringLiteral("1234"));
  PressKey(field, Qt::Key_Home, QString());
  PressKey(field, Qt::Key_Delete, QStringLiteral("\x7f"));
  EXPECT_EQ(field->text(), QStringLiteral("234"));
  PressKey(field, Qt::Key_Right, QString());
  TypeText(field, QStringLiteral("9"));
  EXPECT_EQ(field->text(), QStringLiteral("2934"));
  PressKey(field, Qt::Key_Return, QStringLiteral("\r"));
  PressKey(field, Qt::Key_Escape, QStringLiteral("\x1b"));
  EXPECT_EQ(field->text(), QStringLiteral("2934"));
}

INSTANTIATE_TEST_SUITE_P(Fields, NumberFieldEditingTest,
                         testing::Values("Edit2_Timer", "Edit_counter"));

// Refused keys never reach the field: it does not even change for a moment.
TEST_P(NumberFieldEditingTest, RefusedKeysLeaveTheFieldUntouched) {
  QLineEdit* field = Field(GetParam());
  field->setText(QStringLiteral("42"));
  int changes = 0;
  QObject::connect(field, &QLineEdit::textChanged, field, [&] { ++changes; });
  TypeText(field, QStringLiteral(" -a+"));
  PressKey(field, Qt::Key_Return, QStringLiteral("\r"));
  EXPECT_EQ(changes, 0);
  EXPECT_EQ(field->text(), QStringLiteral("42"));
}

struct TKey {
  const char* label;
  int key;
  const char* text;
  Qt::KeyboardModifiers modifiers;
  bool accepted;
};

class NumberFieldKeyTest : public testing::TestWithParam<TKey> {};

TEST_P(NumberFieldKeyTest, OnlyDigitsBackspaceAndNonCharacterKeysPass) {
  const TKey& k = GetParam();
  const QKeyEvent event(QEvent::KeyPress, k.key, k.modifiers, QString::fromLatin1(k.text));
  EXPECT_EQ(NumberFieldAccepts(event), k.accepted);
}

INSTANTIATE_TEST_SUITE_P(
    Keys, NumberFieldKeyTest,
    testing::Values(TKey{"Digit0", Qt::Key_0, "0", Qt::NoModifier, true},
                    TKey{"Digit9", Qt::Key_9, "9", Qt::NoModifier, true},
                    TKey{"KeypadDigit", Qt::Key_5, "5", Qt::KeypadModifier, true},
                    TKey{"Backspace", Qt::Key_Backspace, "\b", Qt::NoModifier, true},
                    TKey{"Delete", Qt::Key_Delete, "\x7f", Qt::NoModifier, true},
                    TKey{"Left", Qt::Key_Left, "", Qt::NoModifier, true},
                    TKey{"Tab", Qt::Key_Tab, "\t", Qt::NoModifier, true},
                    TKey{"Paste", Qt::Key_V, "\x16", Qt::ControlModifier, true},
                    TKey{"Letter", Qt::Key_A, "a", Qt::NoModifier, false},
                    TKey{"Space", Qt::Key_Space, " ", Qt::NoModifier, false},
                    TKey{"Minus", Qt::Key_Minus, "-", Qt::NoModifier, false},
                    TKey{"Plus", Qt::Key_Plus, "+", Qt::ShiftModifier, false},
                    TKey{"Dollar", Qt::Key_Dollar, "$", Qt::ShiftModifier, false},
                    TKey{"Return", Qt::Key_Return, "\r", Qt::NoModifier, false},
                    TKey{"Escape", Qt::Key_Escape, "\x1b", Qt::NoModifier, false},
                    TKey{"Superscript", Qt::Key_twosuperior, "\xb2", Qt::NoModifier, false}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(WindowTest, ProgramSetTextIsFilteredTooAndTheCursorStays) {
  QLineEdit* field = Field("Edit2_Timer");
  field->setText(QStringLiteral("1x2y3"));
  EXPECT_EQ(field->text(), QStringLiteral("123"));
  field->setText(QStringLiteral("12"));
  field->setCursorPosition(1);
  field->insert(QStringLiteral("a"));
  EXPECT_EQ(field->text(), QStringLiteral("12"));
  EXPECT_EQ(field->cursorPosition(), 1);
}

class FreeTextFieldTest : public WindowTest, public testing::WithParamInterface<const char*> {};

TEST_P(FreeTextFieldTest, AcceptsAnyText) {
  QLineEdit* field = Field(GetParam());
  field->clear();
  TypeText(field, QStringLiteral("a -1 b"));
  EXPECT_EQ(field->text(), QStringLiteral("a -1 b"));
}

INSTANTIATE_TEST_SUITE_P(Fields, FreeTextFieldTest, testing::Values("Edit1", "Edit3_Directory"));

TEST_F(WindowTest, LinkTurnsPinkUnderTheMouseAndBlueAgain) {
  auto* link = Get<TEL_Label>("Label_http");
  const QPointF inside(2, 2);
  QEnterEvent enter(inside, inside, link->mapToGlobal(inside));
  QCoreApplication::sendEvent(link, &enter);
  EXPECT_EQ(link->palette().color(QPalette::WindowText), QColor(255, 32, 245));
  QEvent leave(QEvent::Leave);
  QCoreApplication::sendEvent(link, &leave);
  EXPECT_EQ(link->palette().color(QPalette::WindowText), QColor(0, 0, 255));
}

TEST_F(WindowTest, LinkClickOpensTheHomepage) {
  auto* link = Get<TEL_Label>("Label_http");
  const QPointF inside(2, 2);
  const QPointF global = link->mapToGlobal(inside);
  QMouseEvent press(QEvent::MouseButtonPress, inside, global, Qt::LeftButton, Qt::LeftButton,
                    Qt::NoModifier);
  QCoreApplication::sendEvent(link, &press);
  QMouseEvent release(QEvent::MouseButtonRelease, inside, global, Qt::LeftButton, Qt::NoButton,
                      Qt::NoModifier);
  QCoreApplication::sendEvent(link, &release);
  ASSERT_EQ(desktop_->opened.size(), 1u);
  EXPECT_EQ(desktop_->opened[0].host(), QString::fromLatin1(kHomepage));
  EXPECT_TRUE(desktop_->opened[0].scheme().startsWith(QStringLiteral("http")));
}

TEST(TEL_Label, ReportsEnterAndLeaveWithItselfAsSender) {
  EnsureApplication();
  QWidget parent;
  TEL_Label label(&parent);
  std::vector<std::pair<const char*, QObject*>> seen;
  label.OnMouseEnter = [&](QObject* sender) { seen.emplace_back("enter", sender); };
  label.OnMouseLeave = [&](QObject* sender) { seen.emplace_back("leave", sender); };
  QEnterEvent enter(QPointF(1, 1), QPointF(1, 1), QPointF(1, 1));
  QCoreApplication::sendEvent(&label, &enter);
  QEvent leave(QEvent::Leave);
  QCoreApplication::sendEvent(&label, &leave);
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_STREQ(seen[0].first, "enter");
  EXPECT_STREQ(seen[1].first, "leave");
  EXPECT_EQ(seen[0].second, &label);
  EXPECT_EQ(seen[1].second, &label);
}

// The picker starts at LastDir made absolute, or at the current directory when that fails.
struct TPickerStart {
  const char* label;
  const char* last_dir;  // "<home>": the home directory; "<cwd>/x": x below the current one
  const char* start;     // "<cwd>": the current directory
};

class PickerStartTest : public WindowTest, public testing::WithParamInterface<TPickerStart> {
 protected:
  void SetUp() override {
    saved_cwd_ = QDir::currentPath();
    ASSERT_TRUE(QDir(QString::fromUtf8(Home())).mkdir(QStringLiteral("sub")));
    ASSERT_TRUE(QDir::setCurrent(QString::fromUtf8(Home())));
  }
  void TearDown() override { QDir::setCurrent(saved_cwd_); }
  QString Expand(const char* text) {
    QString value = QString::fromLatin1(text);
    value.replace(QStringLiteral("<home>"), QString::fromUtf8(Home()));
    value.replace(QStringLiteral("<cwd>"), QDir::currentPath());
    return value;
  }
  QString saved_cwd_;
};

TEST_P(PickerStartTest, StartsWhereLastDirLeads) {
  WriteIni("http://\r\n10\r\n0\r\n0\r\n" + ToText(Expand(GetParam().last_dir)) + "\r\n1\r\n");
  Click("Button_Selct_Dir");
  ASSERT_EQ(desktop_->picker_starts.size(), 1u);
  EXPECT_EQ(desktop_->picker_titles[0], QStringLiteral("Select Directory"));
  EXPECT_EQ(QFileInfo(desktop_->picker_starts[0]).canonicalFilePath(),
            QFileInfo(Expand(GetParam().start)).canonicalFilePath());
  EXPECT_TRUE(QFileInfo(desktop_->picker_starts[0]).isAbsolute());
}

INSTANTIATE_TEST_SUITE_P(LastDirs, PickerStartTest,
                         testing::Values(TPickerStart{"Absolute", "<home>sub/", "<home>sub"},
                                         TPickerStart{"Relative", "sub", "<cwd>/sub"},
                                         TPickerStart{"Dot", ".", "<cwd>"},
                                         TPickerStart{"Missing", "<home>gone/", "<cwd>"},
                                         TPickerStart{"Empty", "", "<cwd>"}),
                         [](const auto& info) { return std::string(info.param.label); });

TEST_F(WindowTest, PickerStartsAtLastDirNotAtWhatWasTyped) {
  Field("Edit3_Directory")->setText(QStringLiteral("/somewhere/typed"));
  Click("Button_Selct_Dir");
  ASSERT_EQ(desktop_->picker_starts.size(), 1u);
  EXPECT_EQ(QFileInfo(desktop_->picker_starts[0]).canonicalFilePath(),
            QFileInfo(QString::fromUtf8(Home())).canonicalFilePath());
}

TEST_F(WindowTest, PickerOkTakesExactlyThePickedPath) {
  const QString picked = QString::fromUtf8(home_.Path()) + QStringLiteral("/picked dir");
  desktop_->picker_answer = picked;
  Click("Button_Selct_Dir");
  EXPECT_EQ(Field("Edit3_Directory")->text(), picked);
  EXPECT_EQ(Form().Scheduler().LastDir(), ToText(picked));
}

TEST_F(WindowTest, PickerCancelChangesNothing) {
  Field("Edit3_Directory")->setText(QStringLiteral("typed"));
  const Text last_dir = Form().Scheduler().LastDir();
  desktop_->picker_answer.reset();
  Click("Button_Selct_Dir");
  EXPECT_EQ(desktop_->picker_starts.size(), 1u);
  EXPECT_EQ(Field("Edit3_Directory")->text(), QStringLiteral("typed"));
  EXPECT_EQ(Form().Scheduler().LastDir(), last_dir);
}

}  // namespace
}  // namespace tessaly
