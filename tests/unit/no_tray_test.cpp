#include "app/no_tray.h"
#include "base/state.h"
#include "qt_wait.h"
#include "test_util.h"

#include <QApplication>
#include <QCloseEvent>
#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QWidget>
#include <QtTest/qtestspontaneevent.h>
#include <gtest/gtest.h>

TEST(NoTray, TheWindowSaysSoOffersPreferencesAndQuitAndFollowsTheTray)
{
    testing_support::TempHome home;
    state::reset_for_tests();
    bool tray = true;
    int preferences = 0, quits = 0, appeared = 0;
    const app::no_tray::Hooks hooks { [&] { return tray; }, [&] { ++preferences; }, [&] { ++quits; }, [&] { ++appeared; } };

    // With a tray: nothing.
    app::no_tray::watch(hooks, 20);
    EXPECT_FALSE(app::no_tray::window());

    tray = false;
    app::no_tray::watch(hooks, 20);
    QWidget* w = app::no_tray::window();
    ASSERT_TRUE(w);
    const QPointer<QWidget> first = w;
    EXPECT_TRUE(w->isVisible());
    EXPECT_EQ(w->windowTitle(), QStringLiteral("No hay bandeja del sistema"));
    QString all;
    for (const QLabel* l : w->findChildren<QLabel*>())
        all += l->text() + "\n";
    EXPECT_TRUE(all.contains(QStringLiteral("Ctrl+Alt+Mayús+4"))) << all.toStdString();
    EXPECT_TRUE(all.contains(QStringLiteral("vistrope://"))) << all.toStdString();
    QPushButton* pref = nullptr;
    QPushButton* quit = nullptr;
    for (QPushButton* b : w->findChildren<QPushButton*>()) {
        if (b->text() == QStringLiteral("Preferencias…"))
            pref = b;
        if (b->text() == QStringLiteral("Salir de Vistrope"))
            quit = b;
    }
    ASSERT_TRUE(pref && quit);
    pref->click();
    quit->click();
    EXPECT_EQ(preferences, 1);
    EXPECT_EQ(quits, 1);

    // Still no tray: the window stays; then one appears and it goes, once.
    testing_support::pump_for(100);
    EXPECT_TRUE(app::no_tray::window());
    tray = true;
    EXPECT_TRUE(testing_support::wait_until([] { return !app::no_tray::window(); }, 2000));
    testing_support::pump_for(100);
    EXPECT_EQ(appeared, 1);
    // Started again while the tray holds the icon: nothing to show.
    EXPECT_FALSE(app::no_tray::show_again());
    EXPECT_FALSE(app::no_tray::window());

    // The tray goes: the window comes back, built anew; and goes again with
    // the next tray.
    tray = false;
    ASSERT_TRUE(testing_support::wait_until([] { return app::no_tray::window() && app::no_tray::window()->isVisible(); }, 2000));
    EXPECT_TRUE(first.isNull()) << "the first window was kept";
    tray = true;
    EXPECT_TRUE(testing_support::wait_until([] { return !app::no_tray::window(); }, 2000));
    EXPECT_EQ(appeared, 2);

    // Closed by the program (not by the user) without a tray, it goes at
    // once; starting the program again brings it back.
    tray = false;
    ASSERT_TRUE(testing_support::wait_until([] { return app::no_tray::window() != nullptr; }, 2000));
    app::no_tray::window()->close();
    EXPECT_TRUE(testing_support::wait_until([] { return !app::no_tray::window(); }, 2000));
    testing_support::pump_for(100);
    EXPECT_FALSE(app::no_tray::window()) << "the watch brought it back without a change of tray";
    EXPECT_TRUE(app::no_tray::show_again());
    ASSERT_TRUE(app::no_tray::window());
    EXPECT_TRUE(app::no_tray::window()->isVisible());
    app::no_tray::reset();
    EXPECT_FALSE(app::no_tray::show_again()) << "nothing is watched after the end";
    state::reset_for_tests();
}

namespace {

// Closes the window as the window manager's close button does (a
// spontaneous event) and answers its question with the button titled `answer`.
void close_by_hand(QWidget* window, const QString& answer)
{
    QCloseEvent event;
    QSpontaneKeyEvent::setSpontaneous(&event);
    qApp->notify(window, &event); // sendEvent would clear the flag
    EXPECT_FALSE(event.isAccepted()) << "a close by hand must ask first";
    QMessageBox* question = nullptr;
    for (QMessageBox* box : window->findChildren<QMessageBox*>())
        question = box->isVisible() ? box : question;
    ASSERT_TRUE(question);
    EXPECT_EQ(question->text(), QStringLiteral("¿Salir de Vistrope?"));
    for (QAbstractButton* b : question->buttons())
        if (b->text() == answer)
            return b->click();
    ADD_FAILURE() << "no button " << answer.toStdString();
}

} // namespace

TEST(NoTray, ClosedByHandItAsksWhetherToQuitGoOnInTheBackgroundOrStay)
{
    testing_support::TempHome home;
    state::reset_for_tests();
    int quits = 0;
    app::no_tray::watch({ [] { return false; }, [] {}, [&] { ++quits; }, [] {} }, 20);
    ASSERT_TRUE(app::no_tray::window());

    close_by_hand(app::no_tray::window(), QStringLiteral("Cancelar"));
    testing_support::pump_for(100);
    ASSERT_TRUE(app::no_tray::window());
    EXPECT_TRUE(app::no_tray::window()->isVisible());
    EXPECT_EQ(quits, 0);

    close_by_hand(app::no_tray::window(), QStringLiteral("Salir de Vistrope"));
    EXPECT_EQ(quits, 1);
    testing_support::pump_for(50);

    close_by_hand(app::no_tray::window(), QStringLiteral("Seguir en segundo plano"));
    EXPECT_TRUE(testing_support::wait_until([] { return !app::no_tray::window(); }, 2000));
    EXPECT_EQ(quits, 1);
    EXPECT_TRUE(app::no_tray::show_again());
    EXPECT_TRUE(app::no_tray::window());
    app::no_tray::reset();
    state::reset_for_tests();
}
