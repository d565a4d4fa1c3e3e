#include "platform/wlroots/virtual_keymap.h"

#include <gtest/gtest.h>
#include <xkbcommon/xkbcommon.h>

#include <memory>

namespace kestrio::platform::wlroots {
namespace {

// What a client makes of the layout, as xkbcommon reads it: the text the keys of `keysyms` type,
// and whether the control key then holds Control.
std::pair<std::string, bool> asAClientReadsIt(const VirtualKeymap& keymap, const std::vector<desktop_common::Keysym>& keysyms)
{
    std::unique_ptr<xkb_context, decltype(&xkb_context_unref)> context(xkb_context_new(XKB_CONTEXT_NO_FLAGS), xkb_context_unref);
    std::unique_ptr<xkb_keymap, decltype(&xkb_keymap_unref)> compiled(
        xkb_keymap_new_from_string(context.get(), keymap.text().c_str(), XKB_KEYMAP_FORMAT_TEXT_V1, XKB_KEYMAP_COMPILE_NO_FLAGS), xkb_keymap_unref);
    if (!compiled)
        return {"(does not compile) " + keymap.text(), false};
    std::unique_ptr<xkb_state, decltype(&xkb_state_unref)> state(xkb_state_new(compiled.get()), xkb_state_unref);
    std::string typed;
    for (const desktop_common::Keysym keysym : keysyms) {
        char text[16] = {};
        xkb_state_key_get_utf8(state.get(), keymap.keyOf(keysym).value_or(0) + 8, text, sizeof text);
        typed += text;
    }
    xkb_state_update_key(state.get(), keymap.keyOf(desktop_common::controlKeysym).value_or(0) + 8, XKB_KEY_DOWN);
    return {typed, xkb_state_mod_name_is_active(state.get(), XKB_MOD_NAME_CTRL, XKB_STATE_MODS_EFFECTIVE) > 0};
}

TEST(VirtualKeymap, EveryCharacterOfATextHasAKeyThatTypesIt)
{
    const std::string text = "Hi 한글, ñ 😀!\tA";
    VirtualKeymap keymap;
    auto keysyms = desktop_common::keysymsForText(text);
    keysyms.push_back(desktop_common::keysymForKey(model::Key::enter));
    EXPECT_TRUE(keymap.include(keysyms));
    EXPECT_FALSE(keymap.include(keysyms)) << "nothing new: no upload";
    EXPECT_EQ(asAClientReadsIt(keymap, keysyms), std::make_pair(text + "\r", true));
}

TEST(VirtualKeymap, AFullLayoutStartsOverKeepingControl)
{
    VirtualKeymap keymap;
    std::vector<desktop_common::Keysym> many;
    for (char32_t c = 0x4e00; many.size() < VirtualKeymap::capacity - 1; ++c)
        many.push_back(desktop_common::keysymForCodePoint(c));
    keymap.include(many);
    ASSERT_TRUE(keymap.keyOf(many.front()));
    EXPECT_TRUE(keymap.include({desktop_common::keysymForCodePoint(U'한')}));
    EXPECT_FALSE(keymap.keyOf(many.front())) << "the old keys went";
    EXPECT_EQ(keymap.keyOf(desktop_common::controlKeysym), 1u);
    EXPECT_EQ(asAClientReadsIt(keymap, {desktop_common::keysymForCodePoint(U'한')}), std::make_pair(std::string("한"), true));
}

}  // namespace
}  // namespace kestrio::platform::wlroots
