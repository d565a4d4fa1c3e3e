#include "platform/wlroots/virtual_keymap.h"

#include <gtest/gtest.h>
#include <xkbcommon/xkbcommon.h>

#include <memory>

namespace kestrio::platform::wlroots {
namespace {

// What a client makes of the layout: the text each key types, as xkbcommon reads it.
class Client {
public:
    explicit Client(const VirtualKeymap& keymap)
        : context_(xkb_context_new(XKB_CONTEXT_NO_FLAGS), xkb_context_unref),
          keymap_(xkb_keymap_new_from_string(context_.get(), keymap.text().c_str(), XKB_KEYMAP_FORMAT_TEXT_V1,
                                             XKB_KEYMAP_COMPILE_NO_FLAGS),
                  xkb_keymap_unref),
          state_(keymap_ ? xkb_state_new(keymap_.get()) : nullptr, xkb_state_unref)
    {
    }
    bool compiled() const { return state_ != nullptr; }
    std::string typed(std::uint32_t key)
    {
        char text[16] = {};
        xkb_state_key_get_utf8(state_.get(), key + 8, text, sizeof text);
        return text;
    }
    bool controlled(std::uint32_t key)
    {
        xkb_state_update_key(state_.get(), key + 8, XKB_KEY_DOWN);
        return xkb_state_mod_name_is_active(state_.get(), XKB_MOD_NAME_CTRL, XKB_STATE_MODS_EFFECTIVE) > 0;
    }

private:
    std::unique_ptr<xkb_context, decltype(&xkb_context_unref)> context_;
    std::unique_ptr<xkb_keymap, decltype(&xkb_keymap_unref)> keymap_;
    std::unique_ptr<xkb_state, decltype(&xkb_state_unref)> state_;
};

TEST(VirtualKeymap, EveryCharacterOfATextHasAKeyThatTypesIt)
{
    const std::string text = "Hi 한글, ñ 😀!\tA";
    VirtualKeymap keymap;
    auto keysyms = keysymsForText(text);
    keysyms.push_back(keysymForKey(model::Key::enter));
    EXPECT_TRUE(keymap.include(keysyms));
    EXPECT_FALSE(keymap.include(keysyms)) << "nothing new: no upload";
    Client client(keymap);
    ASSERT_TRUE(client.compiled()) << keymap.text();
    std::string typed;
    for (const Keysym keysym : keysyms)
        typed += client.typed(*keymap.keyOf(keysym));
    EXPECT_EQ(typed, text + "\r");
    EXPECT_TRUE(client.controlled(*keymap.keyOf(controlKeysym)));
}

TEST(VirtualKeymap, AFullLayoutStartsOverKeepingControl)
{
    VirtualKeymap keymap;
    std::vector<Keysym> many;
    for (char32_t c = 0x4e00; many.size() < VirtualKeymap::capacity - 1; ++c)
        many.push_back(keysymForCodePoint(c));
    keymap.include(many);
    const auto kept = keymap.keyOf(many.front());
    EXPECT_TRUE(keymap.include({keysymForCodePoint(U'한')}));
    EXPECT_FALSE(keymap.keyOf(many.front())) << "the old keys went";
    ASSERT_TRUE(keymap.keyOf(keysymForCodePoint(U'한')));
    EXPECT_EQ(keymap.keyOf(controlKeysym), 1u);
    EXPECT_TRUE(kept);
    Client client(keymap);
    EXPECT_EQ(client.typed(*keymap.keyOf(keysymForCodePoint(U'한'))), "한");
}

}  // namespace
}  // namespace kestrio::platform::wlroots
