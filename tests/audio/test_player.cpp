// The stock player on the simulated output device: what it plays from files,
// streams, resources and storage items, and how it lets go of them.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>

#include "audio/WavePlayers.h"
#include "audio/WaveRecorders.h"
#include "platform/ResourceStream.h"
#include "players_support.h"

namespace orvant {
namespace {

using namespace playertest;

// Notes what every refill got from the player, and where the adapter stood.
class TProbePlayer : public TStockAudioPlayer {
public:
    using TStockAudioPlayer::TStockAudioPlayer;
    std::vector<uint32_t> Fetched() {
        std::lock_guard<std::mutex> g(fLock);
        return fFetched;
    }
    std::vector<int64_t> FetchedFrom() {
        std::lock_guard<std::mutex> g(fLock);
        return fFrom;
    }

protected:
    uint32_t FetchWaveData(void* Buffer, uint32_t BufferSize, uint32_t& NumLoops) override {
        const int64_t from = Wave != nullptr ? Wave->Position() : -1;
        const uint32_t n = TStockAudioPlayer::FetchWaveData(Buffer, BufferSize, NumLoops);
        std::lock_guard<std::mutex> g(fLock);
        fFetched.push_back(n);
        fFrom.push_back(from);
        return n;
    }

private:
    std::mutex fLock;
    std::vector<uint32_t> fFetched;
    std::vector<int64_t> fFrom;
};

class PlayerTest : public SimDeviceTest {
protected:
    PlayerTest() { player.SetAsync(true); }

    // Lets the device play until the player has closed by itself.
    void PlayToEnd(TWaveAudioIO& p) {
        for (int i = 0; i < 2000 && p.Active(); ++i) {
            sim->Advance(100);
            WaitFor([&] { return !p.Active(); }, 20);
        }
        ASSERT_FALSE(p.Active());
    }
    std::string WriteTake(const std::string& name, const std::vector<uint8_t>& data) {
        const std::string path = dir / name;
        WriteFile(path, PCMWaveImage(2, 22050, 16, data));
        return path;
    }

    TProbePlayer player;
};

TEST_F(PlayerTest, ATwoAndAHalfSecondFilePlaysThreeBuffersAndIsLetGo) {
    const std::vector<uint8_t> data = Pattern(220500);
    const std::string take = WriteTake("take.wav", data);
    ASSERT_TRUE(player.PlayFile(take));
    EXPECT_TRUE(player.Active());
    EXPECT_FALSE(FileIsFree(take));
    // Once its last bytes are read the file is let go, while they still play:
    // a new take of it can be recorded the moment the playback ends.
    for (int i = 0; i < 100 && player.Fetched().size() < 3; ++i) {
        sim->Advance(100);
        WaitFor([&] { return player.Fetched().size() >= 3; }, 20);
    }
    ASSERT_GE(player.Fetched().size(), 3u);
    EXPECT_TRUE(player.Active());
    EXPECT_TRUE(FileIsFree(take));
    PlayToEnd(player);

    EXPECT_EQ(player.Fetched(), (std::vector<uint32_t>{88200, 88200, 44100, 0}));
    EXPECT_EQ(sim->OutputBytes(), data);
    EXPECT_TRUE(FileIsFree(take));
    EXPECT_EQ(player.Position(), 0u);
}

// Files as sox saves them from recorders' and editors' formats play through
// the default device: the file's format record reaches the device whole
// (extensible records, codec records with their extra bytes), the device
// plays sox's own decoding of the file, and the player's position counts in
// the file's time.
TEST_F(PlayerTest, FilesInOtherFormatsPlayAsSoxDecodesThem) {
    const struct {
        const char* encode;
        uint16_t channels;  // what the simulated device plays
    } cases[] = {{"-b 24", 2}, {"-e ima-adpcm", 2}, {"-e ms-adpcm", 2}, {"-c 6", 2}, {"-r 8000 -c 1 -e gsm-full-rate", 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.encode);
        const std::string file = dir / "sample.wav", ref = dir / "ref.raw";
        int rc = 0;
        testsupport::RunCommand("sox -r 22050 -c 2 -n " + std::string(c.encode) + " " + file +
                                    " synth 2 sine 440 sine 550 vol 0.5 2>&1",
                                &rc);
        ASSERT_EQ(rc, 0);
        testsupport::RunCommand("sox " + file + " -t raw -e signed-integer -b 16 -c " + std::to_string(c.channels) +
                                    " " + ref + (c.channels == 2 && std::string(c.encode) == "-c 6"
                                                     ? " remix 1v0.414214,3v0.292893,5v0.292893 "
                                                       "2v0.414214,3v0.292893,6v0.292893"
                                                     : "") +
                                    " 2>&1",
                                &rc);
        ASSERT_EQ(rc, 0);
        sim->ClearOutput();
        const size_t fetched = player.Fetched().size();
        ASSERT_TRUE(player.PlayFile(file));
        ASSERT_TRUE(WaitFor([&] { return player.Fetched().size() >= fetched + 2; }));
        sim->Advance(500);
        // Within one codec block (at most 1017 samples at 22050 Hz).
        EXPECT_NEAR(double(player.Position()), 500.0, 47.0);
        PlayToEnd(player);
        const std::vector<uint8_t> out = sim->OutputBytes(), expected = ReadFileBytes(ref);
        ASSERT_GE(out.size(), expected.size() - expected.size() % 4096);
        size_t differ = 0;
        for (size_t i = 0; i + 1 < std::min(out.size(), expected.size()); i += 2) {
            int16_t x, y;
            std::memcpy(&x, &out[i], 2);
            std::memcpy(&y, &expected[i], 2);
            differ += std::abs(x - y) > 1;
        }
        EXPECT_EQ(differ, 0u);
    }
}

TEST_F(PlayerTest, WhileAFileIsReadOthersMayReadButNotWriteIt) {
    const std::string take = WriteTake("take.wav", Pattern(3 * 88200));
    ASSERT_TRUE(player.PlayFile(take));
    EXPECT_NO_THROW(TFileStream(take, fmOpenRead | fmShareDenyWrite));
    EXPECT_THROW(TFileStream(take, fmOpenReadWrite | fmShareDenyNone), EFOpenError);
    PlayToEnd(player);
}

TEST_F(PlayerTest, PositionBeforePlayingStartsOneSecondIn) {
    const std::vector<uint8_t> data = Pattern(220500);
    const std::string take = WriteTake("take.wav", data);
    player.SetPosition(1000);
    ASSERT_TRUE(player.PlayFile(take));
    PlayToEnd(player);
    EXPECT_EQ(sim->OutputBytes(), std::vector<uint8_t>(data.begin() + 88200, data.end()));
    EXPECT_EQ(player.Position(), 0u);  // the start position ends with the playback
}

TEST_F(PlayerTest, PositionWhilePlayingRefillsFromTheNewPlace) {
    const std::vector<uint8_t> data = Pattern(5 * 88200);
    const std::string take = WriteTake("take.wav", data);
    ASSERT_TRUE(player.PlayFile(take));
    ASSERT_TRUE(WaitFor([&] { return player.Fetched().size() >= 2; }));
    player.SetPosition(3000);
    PlayToEnd(player);
    // After the move the refills read from 3 s on, up to the end of the data.
    const std::vector<int64_t> from = player.FetchedFrom();
    const std::vector<uint32_t> got = player.Fetched();
    ASSERT_GE(from.size(), 4u);
    EXPECT_EQ(from[2], 3 * 88200);
    EXPECT_EQ(got[2], 88200u);
    EXPECT_EQ(got[3], 88200u);
    EXPECT_EQ(got.back(), 0u);
    const std::vector<uint8_t> out = sim->OutputBytes();
    ASSERT_GE(out.size(), 88200u * 2);
    EXPECT_TRUE(std::equal(out.end() - 2 * 88200, out.end(), data.end() - 2 * 88200));
}

TEST_F(PlayerTest, AnEmptyDataChunkOpensAndClosesAtOnce) {
    const std::string take = WriteTake("empty.wav", {});
    std::atomic<int> activated{0}, deactivated{0};
    player.OnActivate = [&](TWaveAudioIO*) { ++activated; };
    player.OnDeactivate = [&](TWaveAudioIO*) { ++deactivated; };
    ASSERT_TRUE(player.PlayFile(take));
    PlayToEnd(player);
    // OnDeactivate runs on the callback thread just before Active turns false.
    EXPECT_TRUE(WaitFor([&] { return deactivated == 1; }));
    EXPECT_EQ(activated, 1);
    EXPECT_TRUE(sim->OutputBytes().empty());
    EXPECT_EQ(player.Fetched(), std::vector<uint32_t>{0});
    EXPECT_TRUE(FileIsFree(take));
}

TEST_F(PlayerTest, ChunksAfterTheDataAreNotPlayed) {
    const std::vector<uint8_t> data = Pattern(4000);
    std::vector<uint8_t> image = PCMWaveImage(2, 22050, 16, data);
    const std::vector<uint8_t> list = {'L', 'I', 'S', 'T', 8, 0, 0, 0, 'I', 'N', 'F', 'O', 'x', 'y', 'z', 'w'};
    image.insert(image.end(), list.begin(), list.end());
    const uint32_t riff = uint32_t(image.size() - 8);
    std::memcpy(&image[4], &riff, 4);
    const std::string take = dir / "tagged.wav";
    WriteFile(take, image);
    ASSERT_TRUE(player.PlayFile(take));
    PlayToEnd(player);
    EXPECT_EQ(sim->OutputBytes(), data);
}

TEST_F(PlayerTest, NotAWaveImageFailsCleanly) {
    const std::string junk = dir / "junk.wav";
    WriteFile(junk, std::vector<uint8_t>(1000, 'x'));
    EXPECT_FALSE(player.PlayFile(junk));
    EXPECT_FALSE(player.Active());
    EXPECT_TRUE(FileIsFree(junk));
    EXPECT_EQ(sim->OpenStreams(), 0);

    EXPECT_THROW(player.PlayFile(dir / "missing.wav"), EFOpenError);
    EXPECT_FALSE(player.Active());
}

TEST_F(PlayerTest, ARefusedFormatReleasesTheFileBeforeTheErrorIsReported) {
    const std::string take = WriteTake("take.wav", Pattern(8820));
    TSimFaults faults;
    faults.query = WAVERR_BADFORMAT;
    sim->SetFaults(faults);
    bool freeWhenReported = false;
    player.OnError = [&](TWaveAudioIO*) { freeWhenReported = FileIsFree(take); };
    EXPECT_FALSE(player.PlayFile(take));
    EXPECT_TRUE(freeWhenReported);
    EXPECT_EQ(player.LastError(), uint32_t(WAVERR_BADFORMAT));

    player.OnError = nullptr;
    EXPECT_THROW(player.PlayFile(take), EWaveAudioSysError);
    EXPECT_TRUE(FileIsFree(take));
}

TEST_F(PlayerTest, RecordingOverThePlayingTakeFailsAndThePlaybackGoesOn) {
    const std::vector<uint8_t> data = Pattern(220500);
    const std::string take = WriteTake("take.wav", data);
    ASSERT_TRUE(player.PlayFile(take));
    {
        TStockAudioRecorder rec;
        rec.SetPCMFormat(Stereo16bit22050Hz);
        EXPECT_THROW(rec.RecordToFile(take), EFCreateError);
        EXPECT_FALSE(rec.Active());
    }
    EXPECT_TRUE(player.Active());
    PlayToEnd(player);
    EXPECT_EQ(sim->OutputBytes(), data);
    EXPECT_EQ(ReadFileBytes(take).size(), data.size() + 44);
}

TEST_F(PlayerTest, ANewPlaybackWaitsForThePreviousClose) {
    const std::vector<uint8_t> a = Pattern(3 * 88200);
    std::vector<uint8_t> b(88200, 0x55);
    const std::string first = WriteTake("a.wav", a);
    const std::string second = WriteTake("b.wav", b);
    ASSERT_TRUE(player.PlayFile(first));
    ASSERT_TRUE(WaitFor([&] { return player.Fetched().size() >= 2; }));
    ASSERT_TRUE(player.PlayFile(second));
    // The first file was let go before the second took over.
    EXPECT_TRUE(FileIsFree(first));
    PlayToEnd(player);
    const std::vector<uint8_t> out = sim->OutputBytes();
    ASSERT_GE(out.size(), b.size());
    EXPECT_TRUE(std::equal(b.begin(), b.end(), out.end() - b.size()));
    EXPECT_TRUE(FileIsFree(second));
}

// A stream whose store fails after so many bytes.
class TFailingStream : public TMemoryStream {
public:
    int32_t Read(void* buffer, int32_t count) override {
        if (fFailAt >= 0 && Position() + count > fFailAt) return -1;
        return TMemoryStream::Read(buffer, count);
    }
    int64_t fFailAt = -1;
};

TEST_F(PlayerTest, AReadErrorEndsThePlaybackLikeTheEndOfTheData) {
    const std::vector<uint8_t> data = Pattern(3 * 88200);
    TFailingStream source;
    const std::vector<uint8_t> image = PCMWaveImage(2, 22050, 16, data);
    source.WriteBuffer(image.data(), int32_t(image.size()));
    source.SetPosition(0);
    source.fFailAt = 44 + 88200 + 100;  // the second buffer cannot be read
    ASSERT_TRUE(player.PlayStream(&source));
    PlayToEnd(player);
    EXPECT_EQ(player.Fetched(), (std::vector<uint32_t>{88200, 0}));
    EXPECT_EQ(sim->OutputBytes(), std::vector<uint8_t>(data.begin(), data.begin() + 88200));
}

TEST_F(PlayerTest, PlaysTheCompiledInResourceByNameAndByNumber) {
    const std::vector<uint8_t> file = ReadFileBytes(ORVANT_SOURCE_DIR "/tests/audio/data/chime.wav");
    const std::vector<uint8_t> data(file.begin() + 44, file.end());
    ASSERT_TRUE(player.PlayResName(HInstance(), "CHIME"));
    PlayToEnd(player);
    EXPECT_EQ(sim->OutputBytes(), data);

    sim->ClearOutput();
    ASSERT_TRUE(player.PlayResID(HInstance(), 101));
    PlayToEnd(player);
    EXPECT_EQ(sim->OutputBytes(), data);

    EXPECT_THROW(player.PlayResName(HInstance(), "NOSUCH"), EResNotFound);
    EXPECT_THROW(player.PlayResID(HInstance(), 999), EResNotFound);
    EXPECT_FALSE(player.Active());
}

TEST_F(PlayerTest, StockItemsAndTheirAbsence) {
    try {
        player.PlayStock(0);
        FAIL() << "no exception";
    } catch (const EWaveAudioInvalidOperation& e) {
        EXPECT_STREQ(e.what(), "Stock property is not assigned");
    }
    EXPECT_THROW(player.SetActive(true), EWaveAudioInvalidOperation);

    auto* stock = new TMemoryWaveStorage(1);
    const std::vector<uint8_t> data = Pattern(8820);
    const std::vector<uint8_t> image = PCMWaveImage(2, 22050, 16, data);
    stock->Item(0).WriteBuffer(image.data(), int32_t(image.size()));
    player.SetStock(stock);
    player.SetActive(true);
    EXPECT_TRUE(player.Active());
    PlayToEnd(player);
    EXPECT_EQ(sim->OutputBytes(), data);
    EXPECT_EQ(stock->Item(0).Size(), int64_t(image.size()));  // the caller's stream survives

    delete stock;
    EXPECT_EQ(player.Stock(), nullptr);
}

TEST_F(PlayerTest, DestroyingAPlayingPlayerLetsGoOfTheFile) {
    const std::string take = WriteTake("take.wav", Pattern(5 * 88200));
    {
        TStockAudioPlayer p;
        p.SetAsync(true);
        ASSERT_TRUE(p.PlayFile(take));
        sim->Advance(500);
    }
    EXPECT_TRUE(FileIsFree(take));
    EXPECT_EQ(sim->OpenStreams(), 0);
}

}  // namespace
}  // namespace orvant
