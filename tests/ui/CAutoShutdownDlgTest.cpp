#include "CAutoShutdownDlg.h"
#include "ModalDriver.h"
#include "Resource.h"

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <vector>

TEST(CAutoShutdownDlg, TemplateGivesTitleTextsIdsTabOrderAndStartsFull)
{
    CAutoShutdownDlg dialog;
    std::vector<int> ids;
    QString notice;
    QWidget* firstFocus = nullptr;
    QWidget* afterTab = nullptr;
    bool okDefault = false;
    int barValue = -1;
    int timerPeriod = 0;
    ModalDriver<CAutoShutdownDlg> driver([&](CAutoShutdownDlg* d) {
        for (QWidget* control : d->controls()) {
            ids.push_back(CDialog::controlId(control));
            if (auto* label = qobject_cast<QLabel*>(control))
                notice = label->text();
        }
        okDefault = qobject_cast<QPushButton*>(d->GetDlgItem(IDOK))->isDefault();
        firstFocus = QApplication::focusWidget();
        QTest::keyClick(firstFocus, Qt::Key_Tab);
        afterTab = QApplication::focusWidget();
        barValue = qobject_cast<QProgressBar*>(d->GetDlgItem(IDC_PROGRESS))->value();
        EXPECT_EQ(d->progress().lower(), 0);
        EXPECT_EQ(d->progress().upper(), 150);
        EXPECT_EQ(d->progress().GetPos(), 150);
        timerPeriod = d->isTimerRunning(ID_TIMER_COUNTDOWN) ? d->timer(ID_TIMER_COUNTDOWN)->interval() : 0;
        d->EndDialog(IDCANCEL);
    });
    dialog.DoModal();
    EXPECT_EQ(dialog.windowTitle(), QStringLiteral("Auto Shutdown..."));
    EXPECT_EQ(ids, (std::vector<int>{IDOK, IDCANCEL, IDC_STATIC, IDC_PROGRESS}));
    EXPECT_EQ(notice, QStringLiteral("The Zephyrscope will be shutdown autometically in 15 secs"));
    EXPECT_EQ(qobject_cast<QPushButton*>(dialog.GetDlgItem(IDOK))->text(), QStringLiteral("OK"));
    EXPECT_EQ(qobject_cast<QPushButton*>(dialog.GetDlgItem(IDCANCEL))->text(), QStringLiteral("Cancel"));
    EXPECT_EQ(firstFocus, dialog.GetDlgItem(IDOK));
    EXPECT_EQ(afterTab, dialog.GetDlgItem(IDCANCEL));
    EXPECT_TRUE(okDefault);
    EXPECT_EQ(barValue, 150);
    EXPECT_EQ(timerPeriod, 100);
}

TEST(CAutoShutdownDlg, StepsDown150TimesAndEndsWithOkOnThe151stTick)
{
    CAutoShutdownDlg dialog;
    std::vector<int> positions;
    bool endedBefore151 = true;
    ModalDriver<CAutoShutdownDlg> driver([&](CAutoShutdownDlg* d) {
        for (int tick = 1; tick <= 150; ++tick) {
            d->OnTimer(ID_TIMER_COUNTDOWN);
            positions.push_back(d->progress().GetPos());
        }
        endedBefore151 = d->isEnded();
        EXPECT_TRUE(d->isTimerRunning(ID_TIMER_COUNTDOWN));
        d->OnTimer(ID_TIMER_COUNTDOWN);
    });
    EXPECT_EQ(dialog.DoModal(), IDOK);
    EXPECT_FALSE(endedBefore151);
    ASSERT_EQ(positions.size(), 150u);
    for (int k = 1; k <= 150; ++k)
        EXPECT_EQ(positions[static_cast<std::size_t>(k - 1)], 150 - k);
    EXPECT_EQ(dialog.progress().GetPos(), 0);
    EXPECT_FALSE(dialog.isTimerRunning(ID_TIMER_COUNTDOWN));
}

TEST(CAutoShutdownDlg, RealTimerTicksCountDown)
{
    CAutoShutdownDlg dialog;
    ModalDriver<CAutoShutdownDlg> driver([&](CAutoShutdownDlg* d) {
        EXPECT_TRUE(QTest::qWaitFor([&] { return d->progress().GetPos() < 150; }, 3000));
        d->EndDialog(IDCANCEL);
    });
    dialog.DoModal();
    EXPECT_LT(dialog.progress().GetPos(), 150);
}

// How the user ends the countdown, and the result that gives.
struct Answer {
    const char* name;
    void (*act)(CAutoShutdownDlg*);
    int result;
};

class CountdownAnswerTest : public ::testing::TestWithParam<Answer> {};

TEST_P(CountdownAnswerTest, EndsWithItsResultAndStopsTheTimer)
{
    CAutoShutdownDlg dialog;
    ModalDriver<CAutoShutdownDlg> driver([](CAutoShutdownDlg* d) {
        d->OnTimer(ID_TIMER_COUNTDOWN); // part way through
        GetParam().act(d);
    });
    EXPECT_EQ(dialog.DoModal(), GetParam().result);
    EXPECT_FALSE(dialog.isTimerRunning(ID_TIMER_COUNTDOWN));
}

INSTANTIATE_TEST_SUITE_P(
    Answers, CountdownAnswerTest,
    ::testing::Values(
        Answer{"OkButton", [](CAutoShutdownDlg* d) { QTest::mouseClick(d->GetDlgItem(IDOK), Qt::LeftButton); }, IDOK},
        Answer{"EnterOnOk", [](CAutoShutdownDlg* d) { QTest::keyClick(d->GetDlgItem(IDOK), Qt::Key_Return); }, IDOK},
        Answer{"CancelButton", [](CAutoShutdownDlg* d) { QTest::mouseClick(d->GetDlgItem(IDCANCEL), Qt::LeftButton); },
               IDCANCEL},
        Answer{"Escape", [](CAutoShutdownDlg* d) { QTest::keyClick(d, Qt::Key_Escape); }, IDCANCEL},
        Answer{"Close", [](CAutoShutdownDlg* d) { d->close(); }, IDCANCEL}),
    [](const ::testing::TestParamInfo<Answer>& info) { return std::string(info.param.name); });

TEST(CAutoShutdownDlg, EachNewCountdownStartsFull)
{
    for (int run = 0; run < 2; ++run) {
        CAutoShutdownDlg dialog;
        int startPosition = -1;
        ModalDriver<CAutoShutdownDlg> driver([&](CAutoShutdownDlg* d) {
            startPosition = d->progress().GetPos();
            for (int i = 0; i < 40; ++i)
                d->OnTimer(ID_TIMER_COUNTDOWN);
            d->EndDialog(IDCANCEL);
        });
        dialog.DoModal();
        EXPECT_EQ(startPosition, 150);
    }
}
