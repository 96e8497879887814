// Audio compression manager: conversion streams between wave formats and
// format suggestions, served by a fixed table of converters. A conversion
// stream is opened only when one converter of the table turns the source
// format into the target format in one step:
//   - PCM (tag 1, 8/16/24/32-bit integers) and IEEE float (tag 3, 32 bits)
//     to PCM or float, with mono to stereo and back, more than two channels
//     down-mixed to stereo or mono (front as is, centre and surrounds at
//     -3 dB, low-frequency channel dropped, scaled so it cannot clip), and
//     any rate to any rate;
//   - A-law (6) and mu-law (7) to and from 16-bit PCM, same rate and channels;
//   - IMA ADPCM (17) and Microsoft ADPCM (2) to and from 16-bit PCM, same
//     rate and channels;
//   - GSM 6.10 (49) to and from 16-bit mono PCM at 8000 Hz.
// Conversions run in bounded pieces: a stream may be fed any number of
// headers, and the converter keeps only a partial block between calls.
#pragma once

#include <cstdint>

#include "platform/MMSystem.h"

namespace orvant {

struct TAcmDriver;
struct TAcmStream;
using HACMDRIVER = TAcmDriver*;  // always none: the one built-in driver serves every request
using HACMSTREAM = TAcmStream*;

// The MMSYSERR_* results are the ones every multimedia service shares
// (platform/MMSystem.h); the compression manager adds its own range.
constexpr MMRESULT ACMERR_BASE = 512;
constexpr MMRESULT ACMERR_NOTPOSSIBLE = ACMERR_BASE + 0;
constexpr MMRESULT ACMERR_BUSY = ACMERR_BASE + 1;
constexpr MMRESULT ACMERR_UNPREPARED = ACMERR_BASE + 2;
constexpr MMRESULT ACMERR_CANCELED = ACMERR_BASE + 3;

// acmStreamOpen flags
constexpr uint32_t ACM_STREAMOPENF_QUERY = 0x00000001;
constexpr uint32_t ACM_STREAMOPENF_ASYNC = 0x00000002;
constexpr uint32_t ACM_STREAMOPENF_NONREALTIME = 0x00000004;

// acmStreamSize flags
constexpr uint32_t ACM_STREAMSIZEF_SOURCE = 0x00000000;
constexpr uint32_t ACM_STREAMSIZEF_DESTINATION = 0x00000001;
constexpr uint32_t ACM_STREAMSIZEF_QUERYMASK = 0x0000000F;

// acmStreamConvert flags
constexpr uint32_t ACM_STREAMCONVERTF_BLOCKALIGN = 0x00000004;
constexpr uint32_t ACM_STREAMCONVERTF_START = 0x00000010;
constexpr uint32_t ACM_STREAMCONVERTF_END = 0x00000020;

// acmFormatSuggest flags: which fields of the target record are fixed.
constexpr uint32_t ACM_FORMATSUGGESTF_WFORMATTAG = 0x00010000;
constexpr uint32_t ACM_FORMATSUGGESTF_NCHANNELS = 0x00020000;
constexpr uint32_t ACM_FORMATSUGGESTF_NSAMPLESPERSEC = 0x00040000;
constexpr uint32_t ACM_FORMATSUGGESTF_WBITSPERSAMPLE = 0x00080000;
constexpr uint32_t ACM_FORMATSUGGESTF_TYPEMASK = 0x00FF0000;

// ACMSTREAMHEADER.fdwStatus
constexpr uint32_t ACMSTREAMHEADER_STATUSF_DONE = 0x00010000;
constexpr uint32_t ACMSTREAMHEADER_STATUSF_PREPARED = 0x00020000;
constexpr uint32_t ACMSTREAMHEADER_STATUSF_INQUEUE = 0x00100000;

// One conversion request: the caller's source and target blocks.
struct ACMSTREAMHEADER {
    uint32_t cbStruct;         // sizeof(ACMSTREAMHEADER)
    uint32_t fdwStatus;        // ACMSTREAMHEADER_STATUSF_*
    uintptr_t dwUser;
    uint8_t* pbSrc;
    uint32_t cbSrcLength;
    uint32_t cbSrcLengthUsed;  // set by acmStreamConvert
    uintptr_t dwSrcUser;
    uint8_t* pbDst;
    uint32_t cbDstLength;
    uint32_t cbDstLengthUsed;  // set by acmStreamConvert
    uintptr_t dwDstUser;
    uint32_t dwReservedDriver[10];
};
using PACMSTREAMHEADER = ACMSTREAMHEADER*;

// Filters are not supported; the parameter must be none.
struct tWAVEFILTER;
using PWAVEFILTER = tWAVEFILTER*;

// Opens a conversion from pwfxSrc to pwfxDst. had must be none, pwfltr none,
// and no callback is made (ASYNC is refused). With ACM_STREAMOPENF_QUERY only
// tells whether the conversion is possible (phas may then be none).
// ACMERR_NOTPOSSIBLE when no converter does it in one step.
MMRESULT acmStreamOpen(HACMSTREAM* phas, HACMDRIVER had, const tWAVEFORMATEX* pwfxSrc,
                       const tWAVEFORMATEX* pwfxDst, PWAVEFILTER pwfltr, uintptr_t dwCallback,
                       uintptr_t dwInstance, uint32_t fdwOpen);
MMRESULT acmStreamClose(HACMSTREAM has, uint32_t fdwClose);
// By source: the largest number of target bytes cbInput source bytes can give.
// By destination: the source bytes that fill at most cbInput target bytes.
MMRESULT acmStreamSize(HACMSTREAM has, uint32_t cbInput, uint32_t* pdwOutputBytes, uint32_t fdwSize);
MMRESULT acmStreamPrepareHeader(HACMSTREAM has, ACMSTREAMHEADER* pash, uint32_t fdwPrepare);
MMRESULT acmStreamUnprepareHeader(HACMSTREAM has, ACMSTREAMHEADER* pash, uint32_t fdwUnprepare);
// Synchronous. START resets the converter, END flushes what it still holds
// (a partial block is completed with silence), BLOCKALIGN converts whole
// source blocks only and leaves the rest unused.
MMRESULT acmStreamConvert(HACMSTREAM has, ACMSTREAMHEADER* pash, uint32_t fdwConvert);
// Completes pwfxDst (cbwfxDst bytes) with a format the source converts to in
// one step, keeping the fields named by the flags. For a PCM target this is
// the PCM format the source's decoder produces.
MMRESULT acmFormatSuggest(HACMDRIVER had, const tWAVEFORMATEX* pwfxSrc, tWAVEFORMATEX* pwfxDst,
                          uint32_t cbwfxDst, uint32_t fdwSuggest);

}  // namespace orvant
