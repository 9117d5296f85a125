#include "app/app_hotkeys.h"

#include "base/hotkeys.h"
#include "platform/fake/hot_keys_fake.h"
#include "base/state.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <vector>

using app::AppAction;
using hotkeys::COMMAND;
using hotkeys::OPTION;
using hotkeys::SHIFT;

namespace {

constexpr std::uint32_t DEFAULT_MASK = OPTION | SHIFT | COMMAND;

class AppHotkeys : public ::testing::Test {
protected:
    void SetUp() override
    {
        auto fake = std::make_unique<platform::HotKeysFake>();
        m_fake = fake.get();
        app::set_hotkey_backend(std::move(fake));
    }
    void TearDown() override { app::set_hotkey_backend(nullptr); }

    std::vector<app::HotKeyBinding> bindings(const config::Shortcuts& shortcuts)
    {
        return app::hotkey_bindings(shortcuts, [this](AppAction a) { m_ran.push_back(a); });
    }

    std::uint32_t code(std::string_view text) { return hotkeys::parse(text).value().key_code; }

    testing_support::TempHome m_home;
    platform::HotKeysFake* m_fake = nullptr;
    std::vector<AppAction> m_ran;
};

} // namespace

TEST_F(AppHotkeys, DefaultsRegisterInOrderAndEachPressRunsItsAction)
{
    app::register_hotkeys(bindings(config::Shortcuts{}));
    const auto& table = app::hotkey_table();
    EXPECT_EQ(table.refs.size(), 9u);
    EXPECT_EQ(table.callbacks.size(), 9u);
    EXPECT_TRUE(table.failed.empty());
    EXPECT_TRUE(table.handler_installed);
    ASSERT_EQ(m_fake->active().size(), 9u);
    for (std::uint32_t i = 0; i < 9; ++i) {
        EXPECT_EQ(m_fake->active()[i].id, (platform::HotKeyId{ 0x56545250, i }));
        EXPECT_EQ(m_fake->active()[i].modifiers, DEFAULT_MASK);
    }

    for (char key : std::string("34678") + "5pe9")
        EXPECT_TRUE(m_fake->press(code(std::string("cmd+") + key), DEFAULT_MASK)) << key;
    const std::vector<AppAction> expected = {
        AppAction::CaptureFullscreen, AppAction::CaptureArea, AppAction::CaptureWindow,
        AppAction::CaptureText, AppAction::CapturePreviousArea, AppAction::RecordScreen,
        AppAction::PinLast, AppAction::OpenLastInEditor, AppAction::CaptureScrolling,
    };
    EXPECT_EQ(m_ran, expected);
}

TEST_F(AppHotkeys, AFailingMiddleShortcutKeepsLaterIdentifiersEqualToPositions)
{
    m_fake->hold_elsewhere(code("cmd+7"), DEFAULT_MASK); // capture_text, fifth pair
    testing::internal::CaptureStderr();
    app::register_hotkeys(bindings(config::Shortcuts{}));
    const std::string log = testing::internal::GetCapturedStderr();

    const auto& table = app::hotkey_table();
    EXPECT_EQ(table.failed, std::vector<std::string>{ "opt+shift+cmd+7" });
    EXPECT_NE(log.find("«opt+shift+cmd+7» no está disponible (¿lo usa otra app?)"), std::string::npos) << log;
    ASSERT_EQ(table.callbacks.size(), 8u);
    ASSERT_EQ(m_fake->active().size(), 8u);
    for (std::uint32_t i = 0; i < 8; ++i)
        EXPECT_EQ(m_fake->active()[i].id.id, i);

    // record_screen comes after the failed pair: identifier 4, and it still
    // runs its own action.
    EXPECT_EQ(m_fake->active()[4].key_code, code("cmd+5"));
    ASSERT_TRUE(m_fake->press(code("cmd+5"), DEFAULT_MASK));
    ASSERT_TRUE(m_fake->press(code("cmd+9"), DEFAULT_MASK));
    EXPECT_EQ(m_ran, (std::vector<AppAction>{ AppAction::RecordScreen, AppAction::CaptureScrolling }));
}

TEST_F(AppHotkeys, EmptyTextsAreSkippedAndBadTextsRecorded)
{
    config::Shortcuts s;
    s.capture_area = "";
    s.capture_window = "  \t";
    s.pin_last = "cmd+nope";
    s.capture_text = "7";
    s.capture_scrolling = s.capture_fullscreen; // the same combination twice
    testing::internal::CaptureStderr();
    app::register_hotkeys(bindings(s));
    const std::string log = testing::internal::GetCapturedStderr();

    const auto& table = app::hotkey_table();
    EXPECT_EQ(table.failed, (std::vector<std::string>{ "7", "cmd+nope", "opt+shift+cmd+3" }));
    EXPECT_NE(log.find("tecla desconocida «nope» en «cmd+nope»"), std::string::npos) << log;
    EXPECT_NE(log.find("«7» necesita al menos un modificador"), std::string::npos) << log;
    EXPECT_EQ(table.callbacks.size(), 4u); // fullscreen, previous area, record, editor
    ASSERT_TRUE(m_fake->press(code("cmd+e"), DEFAULT_MASK));
    EXPECT_EQ(m_ran, std::vector<AppAction>{ AppAction::OpenLastInEditor });
    EXPECT_EQ(m_fake->active().back().id.id, 3u);
}

TEST_F(AppHotkeys, AFailedInstallIsRecordedAndRetriedForTheNextPair)
{
    m_fake->fail_next_installs(1);
    testing::internal::CaptureStderr();
    app::register_hotkeys(bindings(config::Shortcuts{}));
    const std::string log = testing::internal::GetCapturedStderr();

    const auto& table = app::hotkey_table();
    EXPECT_NE(log.find("no pude instalar el receptor de atajos globales (-9876)"), std::string::npos) << log;
    EXPECT_EQ(table.failed, std::vector<std::string>{ "opt+shift+cmd+4" });
    EXPECT_EQ(m_fake->install_calls(), 2);
    EXPECT_TRUE(table.handler_installed);
    EXPECT_EQ(table.callbacks.size(), 8u);
    EXPECT_EQ(m_fake->active().front().id.id, 0u);
    EXPECT_FALSE(m_fake->press(code("cmd+4"), DEFAULT_MASK));
    EXPECT_TRUE(m_fake->press(code("cmd+3"), DEFAULT_MASK));
    EXPECT_EQ(m_ran, std::vector<AppAction>{ AppAction::CaptureFullscreen });
}

TEST_F(AppHotkeys, RegistrationReplacesTheWholeSetAndUnregisterEmptiesTheLists)
{
    m_fake->hold_elsewhere(code("cmd+8"), DEFAULT_MASK);
    app::register_hotkeys(bindings(config::Shortcuts{}));
    EXPECT_EQ(app::hotkey_table().failed.size(), 1u);

    config::Shortcuts other;
    other.capture_area = "ctrl+opt+a";
    for (auto* field : { &other.capture_fullscreen, &other.capture_window, &other.capture_previous_area,
                         &other.capture_text, &other.record_screen, &other.pin_last,
                         &other.open_last_in_editor, &other.capture_scrolling })
        *field = "";
    app::register_hotkeys(bindings(other));
    const auto& table = app::hotkey_table();
    EXPECT_TRUE(table.failed.empty());
    ASSERT_EQ(m_fake->active().size(), 1u);
    EXPECT_EQ(m_fake->active()[0].id.id, 0u);
    EXPECT_EQ(m_fake->unregister_calls(), 8);
    EXPECT_FALSE(m_fake->press(code("cmd+4"), DEFAULT_MASK));
    EXPECT_TRUE(m_fake->press(code("cmd+a"), hotkeys::CONTROL | OPTION));
    EXPECT_EQ(m_ran, std::vector<AppAction>{ AppAction::CaptureArea });

    app::unregister_hotkeys();
    EXPECT_TRUE(m_fake->active().empty());
    EXPECT_TRUE(table.refs.empty());
    EXPECT_TRUE(table.callbacks.empty());
    EXPECT_TRUE(table.failed.empty());
    EXPECT_TRUE(table.handler_installed);
    app::register_hotkeys(bindings(config::Shortcuts{}));
    EXPECT_EQ(m_fake->install_calls(), 1); // the handler stayed installed
}

TEST_F(AppHotkeys, PressHandlerChecksSignatureAndRangeAndSurvivesReRegistration)
{
    std::vector<app::HotKeyBinding> list = bindings(config::Shortcuts{});
    int reregistered = 0;
    // A press whose callback registers everything again, as a settings
    // change from a hot key would: the running callback's list is replaced.
    list[0].callback = [&] {
        ++reregistered;
        app::register_hotkeys(bindings(config::Shortcuts{}));
    };
    app::register_hotkeys(list);

    m_fake->deliver({ 0x41424344, 1 });
    m_fake->deliver({ platform::HOT_KEY_SIGNATURE, 9 });
    EXPECT_TRUE(m_ran.empty());
    m_fake->deliver({ platform::HOT_KEY_SIGNATURE, 1 });
    EXPECT_EQ(m_ran, std::vector<AppAction>{ AppAction::CaptureFullscreen });

    EXPECT_TRUE(m_fake->press(code("cmd+4"), DEFAULT_MASK));
    EXPECT_EQ(reregistered, 1);
    EXPECT_EQ(app::hotkey_table().callbacks.size(), 9u);
    EXPECT_TRUE(m_fake->press(code("cmd+4"), DEFAULT_MASK));
    EXPECT_EQ(m_ran.back(), AppAction::CaptureArea);
}

TEST_F(AppHotkeys, ConfiguredShortcutsComeFromTheCurrentSettings)
{
    auto config = std::make_shared<config::Config>();
    config->shortcuts.capture_area = "ctrl+f5";
    config->shortcuts.pin_last = "";
    state::set_config(config);
    app::register_hotkeys();
    ASSERT_EQ(m_fake->active().size(), 8u);
    EXPECT_EQ(m_fake->active()[0].key_code, code("cmd+f5"));
    EXPECT_EQ(m_fake->active()[0].modifiers, hotkeys::CONTROL);
    state::reset_for_tests();
}

TEST_F(AppHotkeys, ACombinationAnEarlierActionHoldsIsNamedAndTheFirstKeepsIt)
{
    config::Shortcuts s;
    s.capture_window = s.capture_fullscreen;
    testing::internal::CaptureStderr();
    app::register_hotkeys(bindings(s));
    const std::string log = testing::internal::GetCapturedStderr();

    const auto& table = app::hotkey_table();
    EXPECT_EQ(table.failed, std::vector<std::string>{ s.capture_window });
    EXPECT_NE(log.find("«opt+shift+cmd+3» ya la usa «Capturar pantalla completa»"), std::string::npos) << log;
    EXPECT_EQ(log.find("no está disponible"), std::string::npos) << log;
    ASSERT_EQ(m_fake->active().size(), 8u);
    EXPECT_TRUE(m_fake->press(code("cmd+3"), DEFAULT_MASK));
    EXPECT_EQ(m_ran, std::vector<AppAction>{ AppAction::CaptureFullscreen });
}
