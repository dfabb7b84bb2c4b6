#include <QCheckBox>
#include <QComboBox>
#include <QGuiApplication>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QTimer>

#include "app/linklabel.h"
#include "tests/app/windowharness.h"

namespace tessaly {
namespace {

struct TControlRow {
  const char* name;
  const char* kind;
  QRect geometry;
  const char* text;
  const char* hint;
  bool enabled;
};

const TControlRow kControls[] = {
    {"Edit1", "QLineEdit", {64, 16, 457, 21}, "http://",
     "Enter HTTP address of an image in the Internet", true},
    {"Button1_Start", "QPushButton", {352, 56, 75, 25}, "Start", "Start download", true},
    {"Button2_Stop", "QPushButton", {448, 56, 75, 25}, "Stop", "Stop download", false},
    {"Edit2_Timer", "QLineEdit", {64, 56, 57, 21}, "10", "Minimal Interval between downloads",
     true},
    {"ComboBox1_Time", "QComboBox", {128, 56, 49, 22}, "Sec", "Seconds or Minutes", true},
    {"Edit3_Directory", "QLineEdit", {64, 104, 417, 21}, "<home>", "Directory for saved files",
     true},
    {"Button_Selct_Dir", "QPushButton", {488, 102, 33, 25}, ">>", "Select Directory", true},
    {"CheckBox_bell", "QCheckBox", {208, 60, 49, 17}, "Bell", "Ring the Bell every download",
     true},
    {"Edit_counter", "QLineEdit", {64, 144, 57, 21}, "1", "Initial value of  the counter", true},
};

QString ShownText(QWidget* widget) {
  if (auto* edit = qobject_cast<QLineEdit*>(widget)) return edit->text();
  if (auto* button = qobject_cast<QAbstractButton*>(widget)) return button->text();
  if (auto* combo = qobject_cast<QComboBox*>(widget)) return combo->currentText();
  if (auto* label = qobject_cast<QLabel*>(widget)) return label->text();
  return {};
}

class ControlTest : public WindowTest, public testing::WithParamInterface<TControlRow> {};

TEST_P(ControlTest, PlacedNamedAndCaptioned) {
  const TControlRow& row = GetParam();
  auto* widget = Get<QWidget>(row.name);
  ASSERT_NE(widget, nullptr);
  EXPECT_STREQ(widget->metaObject()->className(), row.kind);
  EXPECT_EQ(widget->geometry(), row.geometry);
  const QString text =
      QString::fromLatin1(row.text) == QStringLiteral("<home>") ? QString::fromUtf8(Home())
                                                                 : QString::fromLatin1(row.text);
  EXPECT_EQ(ShownText(widget), text);
  EXPECT_EQ(widget->toolTip(), QString::fromLatin1(row.hint));
  EXPECT_EQ(widget->isEnabled(), row.enabled);
}

INSTANTIATE_TEST_SUITE_P(Table, ControlTest, testing::ValuesIn(kControls),
                         [](const auto& info) { return std::string(info.param.name); });

struct TLabelRow {
  const char* name;
  QPoint position;
  const char* caption;
};

class LabelTest : public WindowTest, public testing::WithParamInterface<TLabelRow> {};

TEST_P(LabelTest, BoldAtItsPlaceAndWideEnoughForItsText) {
  auto* label = Get<QLabel>(GetParam().name);
  ASSERT_NE(label, nullptr);
  EXPECT_EQ(label->pos(), GetParam().position);
  EXPECT_EQ(label->text(), QString::fromLatin1(GetParam().caption));
  EXPECT_TRUE(label->font().bold());
  EXPECT_GE(label->width(), label->fontMetrics().horizontalAdvance(label->text()));
  EXPECT_TRUE(label->toolTip().isEmpty());
  EXPECT_EQ(label->focusPolicy(), Qt::NoFocus);
}

INSTANTIATE_TEST_SUITE_P(Table, LabelTest,
                         testing::Values(TLabelRow{"Label1", {16, 19}, "URL:"},
                                         TLabelRow{"Label2", {6, 58}, "Interval:"},
                                         TLabelRow{"Label3", {8, 106}, "Save To:"},
                                         TLabelRow{"Label4", {8, 146}, "Counter:"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(WindowTest, TabOrderFollowsTheTable) {
  std::vector<QString> order;
  QWidget* widget = Get<QWidget>("Edit1");
  do {
    if (widget->focusPolicy() & Qt::TabFocus) order.push_back(widget->objectName());
    widget = widget->nextInFocusChain();
  } while (widget != Get<QWidget>("Edit1") && order.size() < 40);
  const std::vector<QString> expected = {
      "Edit1",           "Button1_Start",    "Button2_Stop",  "Edit2_Timer", "ComboBox1_Time",
      "Edit3_Directory", "Button_Selct_Dir", "CheckBox_bell", "Edit_counter"};
  EXPECT_EQ(order, expected);
}

TEST_F(WindowTest, FixedDialogOfTheDesignedSizeInTheScreenCentre) {
  TForm1& form = Form();
  form.show();
  EXPECT_EQ(form.size(), QSize(534, 181));
  EXPECT_EQ(form.minimumSize(), form.maximumSize());
  EXPECT_FALSE(form.windowFlags() & Qt::WindowMinimizeButtonHint);
  EXPECT_FALSE(form.windowFlags() & Qt::WindowMaximizeButtonHint);
  EXPECT_TRUE(form.windowFlags() & Qt::WindowCloseButtonHint);
  const QPoint screen_centre = QGuiApplication::primaryScreen()->availableGeometry().center();
  EXPECT_LE((form.frameGeometry().center() - screen_centre).manhattanLength(), 2);
  EXPECT_TRUE(form.toolTip().isEmpty());
}

TEST_F(WindowTest, CaptionFontAndIcon) {
  TForm1& form = Form();
  EXPECT_EQ(form.windowTitle(), QStringLiteral("TESSALY Version 1.01"));
  EXPECT_EQ(form.font().pointSize(), 8);
  EXPECT_TRUE(Get<QCheckBox>("CheckBox_bell")->font().bold());
  const QIcon icon = form.windowIcon();
  ASSERT_FALSE(icon.isNull());
  const QImage image = icon.pixmap(32, 32).toImage();
  EXPECT_EQ(image.size(), QSize(32, 32));
  EXPECT_GT(qAlpha(image.pixel(16, 16)), 0) << "the icon's middle is drawn";
}

TEST_F(WindowTest, UnitListOffersSecondsAndMinutesOnly) {
  auto* combo = Get<QComboBox>("ComboBox1_Time");
  EXPECT_FALSE(combo->isEditable());
  ASSERT_EQ(combo->count(), 2);
  EXPECT_EQ(combo->itemText(0), QStringLiteral("Sec"));
  EXPECT_EQ(combo->itemText(1), QStringLiteral("Min"));
}

TEST_F(WindowTest, TimerStartsDisabled) {
  auto* timer = Form().findChild<QTimer*>(QStringLiteral("Timer1"));
  ASSERT_NE(timer, nullptr);
  EXPECT_FALSE(timer->isActive());
  EXPECT_FALSE(Form().TimerEnabled());
}

TEST_F(WindowTest, LinkLabelShowsTheHomepage) {
  auto* link = Get<TEL_Label>("Label_http");
  ASSERT_NE(link, nullptr);
  EXPECT_EQ(link->text(), QString::fromLatin1(kHomepage));
  EXPECT_EQ(link->pos(), QPoint(408, 160));
  EXPECT_EQ(link->size(), link->sizeHint());
  EXPECT_LE(link->geometry().right(), Form().width()) << "the link fits in the window";
  EXPECT_TRUE(link->font().underline());
  EXPECT_FALSE(link->font().bold());
  EXPECT_EQ(link->palette().color(QPalette::WindowText), QColor(0, 0, 255));
  EXPECT_EQ(link->toolTip(), QStringLiteral("Visit the homepage"));
  EXPECT_TRUE(link->isEnabled());
}

}  // namespace
}  // namespace tessaly
