// The wave stream adapter: any stream that holds (or is to hold) a WAVE image
// seen as an audio object. It parses the image's details lazily and caches
// them, offers one sequential read or one complete rewrite at a time, hands
// out the whole data block for editing, loads, saves and copies images, and
// tells listeners before and after its content changes.
//
// Also the abstract base of components that store several wave images.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/Component.h"
#include "platform/Streams.h"
#include "wave/WaveUtils.h"

namespace orvant {

// Raised when an object is assigned from one it cannot copy.
class EConvertError : public Exception {
    using Exception::Exception;
};

// Objects that can copy their content from other objects with Assign.
class TPersistent {
public:
    virtual ~TPersistent() = default;
    // Copies Source's content into this object. The base asks Source to
    // assign itself to this one (AssignTo); when neither knows how, it
    // raises EConvertError "<source class> kann nicht zu <this class>
    // zugewiesen werden".
    virtual void Assign(const TPersistent* Source);
    virtual const char* ClassName() const { return "TPersistent"; }

protected:
    virtual void AssignTo(TPersistent* Dest) const;

private:
    [[noreturn]] void AssignError(const TPersistent* Source) const;
};

enum TStreamOwnership : uint8_t {
    soReference,  // the caller keeps the stream
    soOwned,      // the adapter frees the stream when it is destroyed
};

enum TWaveStreamState : uint8_t {
    wssReady,      // neither a read nor a rewrite is open
    wssReading,    // a read is open
    wssWriting,    // a rewrite is open
    wssWritingEx,  // reserved; the adapter never enters it
};

class TWaveStreamAdapter;
// Called with the adapter as sender; empty means unassigned.
using TWaveStreamNotifyEvent = std::function<void(TWaveStreamAdapter* Sender)>;

class TWaveStreamAdapter : public TPersistent {
public:
    // Adapter over AStream; the stream is not touched. With soOwned the
    // adapter frees the stream when it is destroyed.
    TWaveStreamAdapter(TStream* AStream, TStreamOwnership AOwnership = soReference);
    // Ends an open read or rewrite, then frees the stream when owned.
    ~TWaveStreamAdapter() override;
    TWaveStreamAdapter(const TWaveStreamAdapter&) = delete;
    TWaveStreamAdapter& operator=(const TWaveStreamAdapter&) = delete;

    const char* ClassName() const override { return "TWaveStreamAdapter"; }

    // ---- properties
    TStream* Stream() const { return fStream; }
    TStreamOwnership Ownership() const { return fOwnership; }
    void SetOwnership(TStreamOwnership value) { fOwnership = value; }
    TWaveStreamState State() const { return fState; }
    // The following parse the stream first when the details are stale (and
    // then fire OnChange).
    bool Valid() { return ReparseHeader(); }
    bool Empty();                 // the stream's size is 0; no parse
    uint32_t DataSize();          // 0 unless valid
    uint32_t DataOffset();        // 0 unless valid
    TPCMFormat PCMFormat();       // nonePCM unless valid
    PWaveFormatEx WaveFormat();   // nullptr unless valid; owned by the adapter, replaced at every parse
    std::string AudioFormat();    // DescribeWaveFormat, empty unless valid
    uint32_t Length();            // duration of the data in ms, 0 unless valid
    uint32_t BitRate();           // nominal kbit/s, 0 unless valid
    int PeakLevel();              // 0..100 for 8/16-bit PCM data, else -1
    // Byte position inside the data during a read or rewrite; -1 otherwise.
    // Setting it seeks to DataOffset + value (no clamping, no alignment);
    // ignored while neither a read nor a rewrite is open.
    int64_t Position();
    void SetPosition(int64_t value);
    const TWaveStreamNotifyEvent& OnChanging() const { return fOnChanging; }
    void SetOnChanging(TWaveStreamNotifyEvent handler) { fOnChanging = std::move(handler); }
    const TWaveStreamNotifyEvent& OnChange() const { return fOnChange; }
    void SetOnChange(TWaveStreamNotifyEvent handler) { fOnChange = std::move(handler); }

    // ---- comparison
    // Same format, same data size and byte-identical data.
    virtual bool Equals(TWaveStreamAdapter* Wave);
    virtual bool SameFormat(TWaveStreamAdapter* WaveStream);
    // Valid, pWaveFormat given, equal cbSize and equal 18 + cbSize bytes.
    virtual bool SameWaveFormat(const tWAVEFORMATEX* pWaveFormat);

    // ---- whole content
    // Copies another adapter's whole stream; other sources raise EConvertError.
    void Assign(const TPersistent* Source) override;
    // Replaces the content with AStream's bytes from its current position
    // (AStream's size of them; fewer raise EReadError).
    virtual void LoadFromStream(TStream* AStream);
    // Writes the whole content to AStream at its current position.
    virtual void SaveToStream(TStream* AStream);
    virtual void LoadFromFile(const std::string& AFileName);
    virtual void SaveToFile(const std::string& AFileName);
    // Empties the stream.
    virtual void Clear();
    // Marks the details stale; the next access parses again. No event.
    virtual void Refresh();

    // ---- editing: Crop, Invert, ChangeVolume, Copy, Sub, Delete, Insert,
    //      InsertSilence, TrimStart, TrimEnd, Concat, Mix
    // Positions and lengths are milliseconds, turned into whole blocks with
    // BytesForMs; a range ends at the end of the data at the latest. Copy,
    // Sub, Delete, Insert, InsertSilence, Concat and Mix replace the whole
    // content through BeginRewrite ... EndRewrite (and fire its events);
    // Crop, Invert and ChangeVolume change the stream in place and fire
    // nothing. Failures are reported by the result only.

    // Cuts off whatever follows the last data byte (trailing chunks, a pad
    // byte). Nothing while a rewrite is open or the image is not valid.
    virtual void Crop();
    // Reverses the order of the samples (8- and 16-bit PCM only).
    virtual bool Invert();
    // Changes the level by Percent (0 keeps it, 100 doubles it, -100
    // silences it), clipping (8- and 16-bit PCM only).
    virtual bool ChangeVolume(int32_t Percent);
    // The range [Pos, Pos + Len) of Source, in Source's format. The rewrites
    // report True when the new data was written whole and is not empty.
    virtual bool Copy(TWaveStreamAdapter* Source, uint32_t Pos, uint32_t Len);
    // Keeps only the range [Pos, Pos + Len).
    virtual bool Sub(uint32_t Pos, uint32_t Len);
    // Removes the range [Pos, Pos + Len).
    virtual bool Delete(uint32_t Pos, uint32_t Len);
    // Inserts WaveStream's data (same format required; it may be this
    // adapter) at Pos; a position past the end appends.
    virtual bool Insert(uint32_t Pos, TWaveStreamAdapter* WaveStream);
    // Inserts Len ms of silence at Pos (8- and 16-bit PCM only).
    virtual bool InsertSilence(uint32_t Pos, uint32_t Len);
    // Removes the first Len ms.
    virtual bool TrimStart(uint32_t Len);
    // Removes the last Len ms (everything when Len reaches the length).
    virtual bool TrimEnd(uint32_t Len);
    // The data of every source one after the other, in the first source's
    // format, with GapMs of silence between them. False when a source has
    // no data; the content then holds the sources before it.
    virtual bool Concat(const std::vector<TWaveStreamAdapter*>& Sources, uint32_t GapMs);
    // The average of the sources' samples (all in one 8- or 16-bit PCM
    // format; a shorter source counts as silence after its end).
    virtual bool Mix(const std::vector<TWaveStreamAdapter*>& Sources);
    // Helpers of the editing operations (wave/WaveStorageEdit.cpp).
    friend struct TWaveEditing;

    // ---- conversion: ConvertTo, ConvertToPCM
    // Converts the whole content into pTargetWaveFormat through the audio
    // compression manager, directly or through the PCM format the source
    // decodes to; the new image carries the record unchanged. True when
    // converted or already in that format; False leaves the content as it was.
    virtual bool ConvertTo(const tWAVEFORMATEX* pTargetWaveFormat);
    // ConvertTo the standard PCM format; nonePCM gives False.
    bool ConvertToPCM(TPCMFormat TargetFormat);

    // ---- rewrite: replaces the whole content with a new image
    virtual bool BeginRewrite(const tWAVEFORMATEX* pWaveFormat);
    bool BeginRewritePCM(TPCMFormat Format);
    virtual bool EndRewrite();
    // Bytes written, or -1 on a failure or outside a rewrite. A write that
    // comes up short keeps whole blocks of the format only: the part of a
    // block it wrote is cut off again, and the result counts whole blocks.
    virtual int32_t Write(const void* Buffer, int32_t Count);
    // Writes the RIFF and data sizes of what was written so far into the
    // header, the rewrite going on: the image is valid for any reader at this
    // point. False outside a rewrite or when the header could not be written.
    bool UpdateSizes();

    // ---- sequential read from the first data byte to the end of the stream
    virtual bool BeginRead();
    virtual bool EndRead();
    // Bytes read, 0 at the end of the stream, -1 on a failure or outside a read.
    virtual int32_t Read(void* Buffer, int32_t Count);

protected:
    // Parses the stream when the details are stale (never during a rewrite)
    // and fires OnChange after a parse; returns whether the image is valid.
    virtual bool ReparseHeader();
    // The whole data block (DataSize bytes). Without ForceCopy and on a
    // TMemoryStream, a pointer into the stream's memory (valid until the
    // stream's memory changes); otherwise a copy allocated with std::malloc
    // (a caller may std::realloc it and pass the new address to ReleaseData).
    // False when invalid, without data, or when the data chunk reaches past
    // the end of the stream.
    virtual bool AcquireData(void*& Data, bool ForceCopy);
    // Gives back what AcquireData handed out; a copy is written back first
    // when WriteBack (the result then says whether all of it was written)
    // and is freed in every case.
    virtual bool ReleaseData(void* Data, bool WriteBack);
    // BlockBytesForMs of the current format; only while valid.
    virtual uint32_t BytesForMs(uint32_t Ms);
    // Marks the details stale and fires OnChanging, once per change cycle.
    virtual void NotifyChanging();
    // Fires OnChange.
    virtual void NotifyChanged();

    // The stream's memory block when it is a TMemoryStream, else nullptr.
    uint8_t* MemoryBlock() const;
    // Closes the handle of an open read or rewrite without finishing it;
    // state wssReady.
    void CloseOpenHandle();

    TStream* fStream;
    TStreamOwnership fOwnership;
    bool fModified = true;
    bool fValid = false;
    uint32_t fDataSize = 0;
    uint32_t fDataOffset = 0;
    uint32_t fRewriteBlock = 1;  // block size of the format being written
    PWaveFormatEx fWaveFormat = nullptr;
    TWaveStreamNotifyEvent fOnChanging;
    TWaveStreamNotifyEvent fOnChange;
    TWaveStreamState fState = wssReady;
    MMCKINFO ckRIFF{};
    MMCKINFO ckData{};
    HMMIO mmIO = nullptr;
    // Pointers into the memory stream handed out by AcquireData and not yet
    // released.
    std::vector<void*> fDirectBlocks;
};

// Base of components that store several wave images. Nothing in the program
// derives from it; the stock recorder and player can refer to one.
class TCustomWaveStorage : public TComponent {
public:
    explicit TCustomWaveStorage(TComponent* AOwner = nullptr) : TComponent(AOwner) {}
    // The stream that holds the image of item Index; not owned by the caller.
    virtual TStream* WaveStreamAt(int Index) = 0;
    virtual bool Equals(TCustomWaveStorage* Another) = 0;
};

}  // namespace orvant
