// One recording and one playback through the ALSA driver, end to end, on
// ALSA's own file plugins: the test writes an asound.conf whose capture
// device reads a prepared raw file and whose playback device writes the
// played bytes into another, and points ALSA_CONFIG_PATH at it.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <filesystem>

#include "audio/WavePlayers.h"
#include "audio/WaveRecorders.h"
#include "platform/wavedev/alsa/AlsaWaveBackend.h"
#include "players_support.h"

namespace orvant {
namespace {

using namespace playertest;

class PlayersOnAlsa : public ::testing::Test {
protected:
    void SetUp() override {
        const char* old = getenv("ALSA_CONFIG_PATH");
        fHadConfig = old != nullptr;
        if (old) fOldConfig = old;
        WriteFile(dir / "asound.conf", Conf());
        setenv("ALSA_CONFIG_PATH", (dir / "asound.conf").c_str(), 1);
        alsa = std::make_shared<TAlsaWaveBackend>();
        install = std::make_unique<TWaveBackendInstall>(alsa);
    }
    void TearDown() override {
        install.reset();
        alsa.reset();
        if (fHadConfig)
            setenv("ALSA_CONFIG_PATH", fOldConfig.c_str(), 1);
        else
            unsetenv("ALSA_CONFIG_PATH");
    }
    std::vector<uint8_t> Conf() const {
        const std::string text =
            "pcm.!default { type null }\n"
            "pcm.null { type null }\n"
            "pcm.fileout { type file slave.pcm \"null\" file \"" + dir / "played.raw" + "\" format \"raw\" "
            "hint { show on description \"played bytes into a file\" } }\n"
            "pcm.filein { type file slave.pcm \"null\" file \"/dev/null\" infile \"" + dir / "capture.raw" + "\" "
            "format \"raw\" hint { show on description \"captures from a file\" } }\n";
        return {text.begin(), text.end()};
    }
    UINT Id(TWaveDirection dir_, const std::string& name) {
        const auto names = alsa->DeviceNames(dir_);
        const auto it = std::find(names.begin(), names.end(), name);
        EXPECT_NE(it, names.end()) << name;
        return UINT(it - names.begin());
    }

    TScratchDir dir;
    std::shared_ptr<TAlsaWaveBackend> alsa;
    std::unique_ptr<TWaveBackendInstall> install;

private:
    bool fHadConfig = false;
    std::string fOldConfig;
};

TEST_F(PlayersOnAlsa, RecordsTheCapturedBytesIntoAValidTake) {
    const std::vector<uint8_t> input = Pattern(2 * 88200);
    WriteFile(dir / "capture.raw", input);
    const std::string take = dir / "take.wav";

    TStockAudioRecorder rec;
    rec.SetPCMFormat(Stereo16bit22050Hz);
    rec.SetDeviceID(Id(TWaveDirection::wdInput, "filein"));
    ASSERT_TRUE(rec.RecordToFile(take));
    // The file plugin is not paced: the buffers fill as fast as they are
    // handed back, on this thread's message dispatching.
    ASSERT_TRUE(WaitFor([&] { return std::filesystem::file_size(take) >= 46 + input.size(); }));
    rec.Stop();
    ASSERT_TRUE(WaitFor([&] { return !rec.Active(); }));

    const TPyWave w = PythonReadWave(take);
    ASSERT_TRUE(w.ok) << w.error;
    EXPECT_EQ(w.rate, 22050);
    EXPECT_EQ(w.channels, 2);
    EXPECT_EQ(w.width, 2);
    const std::vector<uint8_t> bytes = ReadFileBytes(take);
    ASSERT_EQ(bytes.size(), 46 + size_t(w.frames) * 4);
    ASSERT_GE(bytes.size(), 46 + input.size());
    EXPECT_TRUE(std::equal(input.begin(), input.end(), bytes.begin() + 46));
    EXPECT_TRUE(FileIsFree(take));
}

TEST_F(PlayersOnAlsa, PlaysATakeIntoTheDevice) {
    const std::vector<uint8_t> data = Pattern(88200 + 4400);
    const std::string take = dir / "take.wav";
    WriteFile(take, PCMWaveImage(2, 22050, 16, data));

    TStockAudioPlayer player;
    player.SetAsync(true);
    player.SetDeviceID(Id(TWaveDirection::wdOutput, "fileout"));
    std::atomic<int> closed{0};
    player.OnDeactivate = [&](TWaveAudioIO*) { ++closed; };
    ASSERT_TRUE(player.PlayFile(take));
    // OnDeactivate is the last step of the close, just before Active turns false.
    ASSERT_TRUE(WaitFor([&] { return closed == 1 && !player.Active(); }));
    EXPECT_EQ(ReadFileBytes(dir / "played.raw"), data);
    EXPECT_TRUE(FileIsFree(take));
}

}  // namespace
}  // namespace orvant
