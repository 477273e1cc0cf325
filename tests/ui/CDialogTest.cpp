#include "CDialog.h"
#include "CFileDialog.h"
#include "CProgressCtrl.h"
#include "DialogUnits.h"
#include "ModalDriver.h"
#include "Resource.h"

#include <QLabel>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <vector>

namespace {

// A dialog that records what reaches its handlers.
class RecordingDialog final : public CDialog {
    Q_OBJECT

public:
    RecordingDialog()
        : CDialog(QStringLiteral("Recording"), QSize(100, 60))
    {
        addButton(IDOK, QStringLiteral("OK"), QRect(10, 40, 30, 14), true);
        addButton(IDCANCEL, QStringLiteral("Cancel"), QRect(50, 40, 30, 14));
        addStatic(IDC_STATIC, QStringLiteral("Label"), QRect(5, 5, 40, 8));
    }

    void OnTimer(unsigned id) override
    {
        ticks.push_back(id);
        if (throwOnTick)
            throw std::runtime_error("tick failed");
    }
    void OnCancel() override
    {
        ++cancels;
        CDialog::OnCancel();
    }
    void OnSysCommand(unsigned commandId, long parameter) override
    {
        sysCommands.push_back(commandId);
        CDialog::OnSysCommand(commandId, parameter);
    }

    std::vector<unsigned> ticks;
    std::vector<unsigned> sysCommands;
    int cancels = 0;
    bool throwOnTick = false;
};

} // namespace

TEST(DialogUnits, ConvertsByQuarterCharacterWidthAndEighthHeight)
{
    const DialogUnits units(DialogUnits::dialogFont());
    ASSERT_GT(units.baseX(), 0);
    ASSERT_GT(units.baseY(), 0);
    EXPECT_EQ(units.toPixels(QRect(4, 8, 40, 16)), QRect(units.baseX(), units.baseY(), 10 * units.baseX(), 2 * units.baseY()));
    EXPECT_EQ(units.toPixels(QSize(0, 0)), QSize(0, 0));
}

TEST(DialogUnits, DialogFontIsEightPointSansSerif)
{
    const QFont font = DialogUnits::dialogFont();
    EXPECT_EQ(font.pointSize(), 8);
    EXPECT_EQ(font.styleHint(), QFont::SansSerif);
}

TEST(CProgressCtrl, SetPosLimitsToRangeAndReturnsPreviousPosition)
{
    QProgressBar bar;
    CProgressCtrl progress;
    progress.Attach(&bar);
    progress.SetRange(0, 150);
    EXPECT_EQ(progress.SetPos(150), 0);
    EXPECT_EQ(progress.GetPos(), 150);
    EXPECT_EQ(bar.value(), 150);
    EXPECT_EQ(progress.SetPos(200), 150);
    EXPECT_EQ(progress.GetPos(), 150);
    EXPECT_EQ(progress.SetPos(0), 150);
    EXPECT_EQ(progress.SetPos(-1), 0);
    EXPECT_EQ(progress.GetPos(), 0);
    EXPECT_EQ(bar.value(), 0);
}

TEST(CProgressCtrl, NarrowerRangeLimitsThePosition)
{
    CProgressCtrl progress;
    progress.SetRange(0, 150);
    progress.SetPos(120);
    progress.SetRange(0, 100);
    EXPECT_EQ(progress.GetPos(), 100);
}

TEST(CFileDialog, FilterEntriesKeepTheirDisplayTextAndMatchTheirPatterns)
{
    const QStringList filters = CFileDialog::nameFilters(
        "Media Playlist (*.wpl, *.asx)|*.wpl;*.asx|Windows Media (*.asf, *.wmv)|*.asf; *.wmv|All Files (*.*)|*.*||");
    ASSERT_EQ(filters.size(), 3);
    EXPECT_EQ(filters[0], QStringLiteral("Media Playlist (*.wpl, *.asx) (*.wpl *.asx)"));
    EXPECT_EQ(filters[1], QStringLiteral("Windows Media (*.asf, *.wmv) (*.asf *.wmv)"));
    EXPECT_EQ(filters[2], QStringLiteral("All Files (*.*) (*)"));
}

TEST(CDialog, ControlsAreFoundByIdAndPlacedInDialogUnits)
{
    RecordingDialog dialog;
    auto* ok = qobject_cast<QPushButton*>(dialog.GetDlgItem(IDOK));
    ASSERT_NE(ok, nullptr);
    EXPECT_EQ(ok->text(), QStringLiteral("OK"));
    EXPECT_TRUE(ok->isDefault());
    EXPECT_EQ(CDialog::controlId(ok), IDOK);
    EXPECT_EQ(ok->geometry(), dialog.dialogUnits().toPixels(QRect(10, 40, 30, 14)));
    EXPECT_EQ(dialog.size(), dialog.dialogUnits().toPixels(QSize(100, 60)));
    EXPECT_EQ(dialog.GetDlgItem(1234), nullptr);
    ASSERT_EQ(dialog.controls().size(), 3u);
    EXPECT_EQ(CDialog::controlId(dialog.controls()[2]), IDC_STATIC);
}

TEST(CDialog, SettingARunningTimerRestartsItsPeriodAndKillingAnAbsentOneDoesNothing)
{
    RecordingDialog dialog;
    dialog.KillTimer(7); // never set
    EXPECT_FALSE(dialog.isTimerRunning(7));
    EXPECT_EQ(dialog.timer(7), nullptr);

    dialog.SetTimer(7, 300);
    const QTimer* timer = dialog.timer(7);
    ASSERT_NE(timer, nullptr);
    EXPECT_TRUE(timer->isActive());
    EXPECT_EQ(timer->interval(), 300);
    EXPECT_EQ(timer->timerType(), Qt::PreciseTimer);

    EXPECT_TRUE(QTest::qWaitFor([&] { return timer->remainingTime() >= 0 && timer->remainingTime() < 200; }, 2000));
    dialog.SetTimer(7, 300);
    EXPECT_GE(timer->remainingTime(), 250);
    EXPECT_EQ(dialog.timer(7), timer);

    dialog.KillTimer(7);
    EXPECT_FALSE(dialog.isTimerRunning(7));
    dialog.KillTimer(7);
    EXPECT_FALSE(dialog.isTimerRunning(7));
}

TEST(CDialog, EachExpiryCallsOnTimerWithItsIdAndAThrowingHandlerDoesNotEscape)
{
    RecordingDialog dialog;
    dialog.throwOnTick = true;
    dialog.SetTimer(42, 10);
    EXPECT_TRUE(QTest::qWaitFor([&] { return dialog.ticks.size() >= 2; }, 3000));
    dialog.KillTimer(42);
    for (unsigned id : dialog.ticks)
        EXPECT_EQ(id, 42u);
}

TEST(CDialog, EscapeEndsWithCancelThroughOnCancel)
{
    RecordingDialog dialog;
    ModalDriver<RecordingDialog> driver([](RecordingDialog* d) { QTest::keyClick(d, Qt::Key_Escape); });
    EXPECT_EQ(dialog.DoModal(), IDCANCEL);
    EXPECT_EQ(dialog.cancels, 1);
}

TEST(CDialog, CloseEndsWithCancelThroughOnCancel)
{
    RecordingDialog dialog;
    ModalDriver<RecordingDialog> driver([](RecordingDialog* d) { d->close(); });
    EXPECT_EQ(dialog.DoModal(), IDCANCEL);
    EXPECT_EQ(dialog.cancels, 1);
}

TEST(CDialog, OkButtonEndsWithOkAndFocusStartsOnTheFirstTabStop)
{
    RecordingDialog dialog;
    QWidget* focused = nullptr;
    ModalDriver<RecordingDialog> driver([&](RecordingDialog* d) {
        focused = d->focusWidget();
        QTest::mouseClick(d->GetDlgItem(IDOK), Qt::LeftButton);
    });
    EXPECT_EQ(dialog.DoModal(), IDOK);
    EXPECT_EQ(focused, dialog.GetDlgItem(IDOK));
    EXPECT_EQ(dialog.cancels, 0);
}

TEST(CDialog, EndingTheDialogStopsItsTimers)
{
    RecordingDialog dialog;
    ModalDriver<RecordingDialog> driver([](RecordingDialog* d) {
        d->SetTimer(5, 1000);
        d->EndDialog(IDOK);
    });
    EXPECT_EQ(dialog.DoModal(), IDOK);
    EXPECT_FALSE(dialog.isTimerRunning(5));
}

TEST(CDialog, SystemMenuOpensFromAltSpaceAndBackgroundRightClickAndItsCloseCancels)
{
    RecordingDialog dialog;
    bool openedByKey = false;
    bool openedByRightClick = false;
    ModalDriver<RecordingDialog> driver([&](RecordingDialog* d) {
        QMenu* menu = d->GetSystemMenu();
        QTest::keyClick(d, Qt::Key_Space, Qt::AltModifier);
        openedByKey = menu->isVisible();
        menu->hide();

        // A point right of the label and above the buttons is background.
        const QPoint background(d->width() - 5, 5);
        ASSERT_EQ(d->childAt(background), nullptr);
        QContextMenuEvent event(QContextMenuEvent::Mouse, background, d->mapToGlobal(background));
        QApplication::sendEvent(d, &event);
        openedByRightClick = menu->isVisible();

        ASSERT_FALSE(menu->actions().isEmpty());
        QAction* close = menu->actions().constFirst();
        EXPECT_EQ(close->data().toUInt(), SC_CLOSE);
        QTest::mouseClick(menu, Qt::LeftButton, {}, menu->actionGeometry(close).center());
    });
    EXPECT_EQ(dialog.DoModal(), IDCANCEL);
    EXPECT_TRUE(openedByKey);
    EXPECT_TRUE(openedByRightClick);
    EXPECT_EQ(dialog.sysCommands, std::vector<unsigned>{SC_CLOSE});
    EXPECT_EQ(dialog.cancels, 1);
}

#include "CDialogTest.moc"
