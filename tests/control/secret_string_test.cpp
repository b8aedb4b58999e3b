#include "control/ControlBarrier.h"
#include "control/SecretString.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>
#include <string_view>

namespace {

// The bytes of a buffer that a SecretString used, read after it let the
// buffer go. The buffer is the caller's (placement new), so reading it
// afterwards is reading memory that is still ours.
struct Arena {
    alignas(SecretString) unsigned char bytes[sizeof(SecretString)];
    SecretString* make() { return new (bytes) SecretString(); }
    bool holds(std::string_view text) const {
        return std::search(std::begin(bytes), std::end(bytes), text.begin(), text.end()) !=
               std::end(bytes);
    }
};

// A short secret lives inside the object: destruction zeroes it there.
TEST(SecretString, DestructionWipesAShortSecretInPlace) {
    Arena arena;
    SecretString* secret = arena.make();
    secret->assign("4829");
    ASSERT_TRUE(arena.holds("4829"));
    secret->~SecretString();
    EXPECT_FALSE(arena.holds("829"));
}

TEST(SecretString, ReassignmentAndClearingWipeTheOldText) {
    Arena arena;
    SecretString* secret = arena.make();
    secret->assign("135790");
    secret->assign("24");
    // An assignment in place would keep the old text's tail.
    EXPECT_FALSE(arena.holds("790"));
    EXPECT_EQ(secret->view(), "24");
    secret->clear();
    EXPECT_FALSE(arena.holds("24"));
    EXPECT_TRUE(secret->empty());
    secret->~SecretString();
}

// Moving leaves nothing in the object moved from.
TEST(SecretString, MovingLeavesTheSourceWiped) {
    Arena arena;
    SecretString* source = arena.make();
    source->assign("975310");
    SecretString target(std::move(*source));
    EXPECT_EQ(target.view(), "975310");
    // A plain move keeps all but the first byte.
    EXPECT_FALSE(arena.holds("75310"));
    source->assign("864200");
    target = std::move(*source);
    EXPECT_EQ(target.view(), "864200");
    EXPECT_FALSE(arena.holds("64200"));
    source->~SecretString();
}

// A string handed over keeps nothing of the text either.
TEST(SecretString, TakingAStringWipesWhatTheStringKeeps) {
    alignas(std::string) unsigned char bytes[sizeof(std::string)];
    auto* text = new (bytes) std::string("112233");
    SecretString secret(std::move(*text));
    EXPECT_EQ(secret.view(), "112233");
    const std::string_view tail = "12233";
    EXPECT_EQ(std::search(std::begin(bytes), std::end(bytes), tail.begin(), tail.end()),
              std::end(bytes));
    text->~basic_string();
}

// Growing past the buffer copies into a new one; appends keep the text.
TEST(SecretString, AppendsGrowAndCopiesAreEqual) {
    SecretString secret;
    for (int i = 0; i < 100; ++i) {
        secret.push_back(static_cast<char>('0' + i % 10));
    }
    ASSERT_EQ(secret.size(), 100u);
    EXPECT_EQ(secret.view().substr(0, 12), "012345678901");
    const SecretString copy(secret);
    EXPECT_TRUE(copy == secret);
    SecretU16String wide(std::u16string_view(u"42"));
    wide.append(u"13");
    EXPECT_EQ(wide.view(), u"4213");
}

TEST(ControlBarrier, AnExceptionBecomesTheFallback) {
    EXPECT_EQ(controlBarrier("test", 5001, []() -> int { throw std::runtime_error("no"); }), 5001);
    EXPECT_EQ(controlBarrier("test", 5001, [] { return 7; }), 7);
    bool ran = false;
    controlBarrier("test", [&] {
        ran = true;
        throw 1;
    });
    EXPECT_TRUE(ran);
}

} // namespace
