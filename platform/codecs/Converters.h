// The converters behind the compression manager (internal to platform/codecs).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/MMSystem.h"

namespace orvant::codecs {

// A copy of a wave-format record with its extra bytes.
class TFormat {
public:
    TFormat() = default;
    explicit TFormat(const tWAVEFORMATEX* wf);
    const tWAVEFORMATEX& Head() const { return *reinterpret_cast<const tWAVEFORMATEX*>(fBytes.data()); }
    const uint8_t* Extra() const { return fBytes.data() + sizeof(tWAVEFORMATEX); }
    const std::vector<uint8_t>& Bytes() const { return fBytes; }
    uint16_t ExtraWord(size_t index) const;  // little-endian word of the extra bytes

private:
    std::vector<uint8_t> fBytes;
};

// One step of the table. Convert consumes source bytes and produces target
// bytes; it never produces more than dstLen and keeps a partial source unit
// internally unless told to align to whole blocks.
class TConverter {
public:
    virtual ~TConverter() = default;
    virtual void Reset() = 0;
    virtual uint32_t DstBytesFor(uint32_t srcBytes) const = 0;  // upper bound
    virtual uint32_t SrcBytesFor(uint32_t dstBytes) const = 0;  // what fits
    struct TResult {
        bool ok = true;
        uint32_t srcUsed = 0;
        uint32_t dstUsed = 0;
    };
    virtual TResult Convert(const uint8_t* src, uint32_t srcLen, uint8_t* dst, uint32_t dstLen, bool blockAlign,
                            bool end) = 0;
};

// A converter whose source comes in fixed units (a codec block, a sample
// frame) each giving a fixed number of target bytes.
class TBlockConverter : public TConverter {
public:
    void Reset() override;
    uint32_t DstBytesFor(uint32_t srcBytes) const override;
    uint32_t SrcBytesFor(uint32_t dstBytes) const override;
    TResult Convert(const uint8_t* src, uint32_t srcLen, uint8_t* dst, uint32_t dstLen, bool blockAlign,
                    bool end) override;

protected:
    TBlockConverter(uint32_t srcUnit, uint32_t dstUnit);
    virtual void ResetState() {}
    // units whole source units into units * dstUnit bytes.
    virtual bool ConvertUnits(const uint8_t* src, uint32_t units, uint8_t* dst) = 0;
    // The last, partial unit (len < srcUnit) at the end of the stream; at most
    // dstUnit bytes. By default completed with zero bytes.
    virtual bool ConvertPartial(const uint8_t* src, uint32_t len, uint8_t* dst, uint32_t& produced);

    const uint32_t fSrcUnit, fDstUnit;

private:
    std::vector<uint8_t> fPending;
};

// Format checks: a record the converters understand.
bool IsPcm(const tWAVEFORMATEX& wf);  // tag 1 with 8/16/24/32 bits or tag 3 with 32 bits, 1..8 channels
bool IsPcm16(const tWAVEFORMATEX& wf);
bool ValidImaAdpcm(const TFormat& f);
bool ValidMsAdpcm(const TFormat& f);
bool ValidGsm(const TFormat& f);
bool ValidG711(const tWAVEFORMATEX& wf);

// Fills the standard record of a compressed format for the given channels and
// rate into buf (capacity bytes). Returns the record's size, 0 when the
// format cannot carry these channels and rate, or -1 when buf is too small.
int StandardCompressedFormat(uint16_t tag, uint16_t channels, uint32_t rate, uint8_t* buf, uint32_t capacity);

std::unique_ptr<TConverter> MakePcmConverter(const TFormat& src, const TFormat& dst);
std::unique_ptr<TConverter> MakeG711Decoder(const TFormat& src);
std::unique_ptr<TConverter> MakeG711Encoder(const TFormat& dst);
std::unique_ptr<TConverter> MakeAdpcmDecoder(const TFormat& src);
std::unique_ptr<TConverter> MakeImaEncoder(const TFormat& dst);
std::unique_ptr<TConverter> MakeMsAdpcmEncoder(const TFormat& dst);
std::unique_ptr<TConverter> MakeGsmDecoder(const TFormat& src);
std::unique_ptr<TConverter> MakeGsmEncoder(const TFormat& dst);

// One ADPCM block (whose layout the format record gave) into its
// samplesPerBlock frames of 16-bit PCM; the block headers have been checked
// (an IMA step index up to 88, an MS predictor up to 6; MS: 1 or 2 channels).
void DecodeImaBlock(const uint8_t* block, uint32_t channels, uint32_t samplesPerBlock, uint8_t* dst);
void DecodeMsAdpcmBlock(const uint8_t* block, uint32_t channels, uint32_t samplesPerBlock, uint8_t* dst);

// The standard coefficient pairs of Microsoft ADPCM.
extern const int16_t kMsAdpcmCoef[7][2];

}  // namespace orvant::codecs
