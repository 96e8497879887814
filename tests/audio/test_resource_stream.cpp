// WAVE resources compiled into the test program (tests/audio/resources.cmake)
// read back through TResourceStream.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <vector>

#include "platform/ResourceStream.h"

namespace orvant {
namespace {

std::vector<char> ChimeFileBytes() {
    std::ifstream f(ORVANT_SOURCE_DIR "/tests/audio/data/chime.wav", std::ios::binary);
    return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

std::vector<char> ReadAll(TStream& s) {
    std::vector<char> out(size_t(s.Size()));
    s.SetPosition(0);
    s.ReadBuffer(out.data(), int32_t(out.size()));
    return out;
}

TEST(ResourceStream, NameAndNumberGiveTheFileBytes) {
    const std::vector<char> file = ChimeFileBytes();
    ASSERT_GT(file.size(), 44u);

    TResourceStream byName(HInstance(), "Chime", "wave");  // case does not matter
    EXPECT_EQ(ReadAll(byName), file);
    TResourceStream byId(HInstance(), 101, "WAVE");
    EXPECT_EQ(ReadAll(byId), file);
    TResourceStream byHashName(HInstance(), "#101", "WAVE");
    EXPECT_EQ(byHashName.Memory(), byId.Memory());
}

TEST(ResourceStream, TheProgramsOwnModuleHoldsThem) {
    EXPECT_NE(HInstance(), 0u);
    EXPECT_EQ(FindHInstance(reinterpret_cast<const void*>(&ChimeFileBytes)), HInstance());
    EXPECT_EQ(FindHInstance(nullptr), 0u);
}

TEST(ResourceStream, MissingResourceNamesItself) {
    try {
        TResourceStream s(HInstance(), "NOSUCHWAVE", "WAVE");
        FAIL() << "no exception";
    } catch (const EResNotFound& e) {
        EXPECT_NE(std::string(e.what()).find("NOSUCHWAVE"), std::string::npos) << e.what();
    }
    try {
        TResourceStream s(HInstance(), 4711, "WAVE");
        FAIL() << "no exception";
    } catch (const EResNotFound& e) {
        EXPECT_NE(std::string(e.what()).find("4711"), std::string::npos) << e.what();
    }
    // Right name, wrong type or module.
    EXPECT_THROW(TResourceStream(HInstance(), "CHIME", "RCDATA"), EResNotFound);
    EXPECT_THROW(TResourceStream(HInstance() + 1000, "CHIME", "WAVE"), EResNotFound);
}

TEST(ResourceStream, ReadsSeeksAndRefusesWrites) {
    TResourceStream s(HInstance(), "CHIME", "WAVE");
    char head[4];
    EXPECT_EQ(s.Read(head, 4), 4);
    EXPECT_EQ(std::string(head, 4), "RIFF");
    EXPECT_EQ(s.Seek(-4, TSeekOrigin::soEnd), s.Size() - 4);
    char tail[16];
    EXPECT_EQ(s.Read(tail, 16), 4);  // only what is left
    EXPECT_EQ(s.Read(tail, 16), 0);
    EXPECT_EQ(s.Seek(-1, TSeekOrigin::soBeginning), -1);
    EXPECT_EQ(s.Write(head, 4), -1);
    EXPECT_THROW(s.SetSize(0), EStreamError);
    EXPECT_THROW(s.WriteBuffer(head, 4), EWriteError);
}

}  // namespace
}  // namespace orvant
