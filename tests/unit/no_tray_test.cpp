#include "app/no_tray.h"
#include "base/state.h"
#include "qt_wait.h"
#include "test_util.h"

#include <QLabel>
#include <QPushButton>
#include <QWidget>
#include <gtest/gtest.h>

TEST(NoTray, TheWindowSaysSoOffersPreferencesAndQuitAndGoesWhenATrayAppears)
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
    app::no_tray::reset();
    state::reset_for_tests();
}
