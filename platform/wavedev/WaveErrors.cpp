// Error texts of the wave-device result codes, and the detail a backend adds
// to the text of its last failure.
#include <mutex>
#include <string>

#include "platform/wavedev/WaveBackend.h"
#include "platform/wavedev/WaveDevInternal.h"

namespace orvant {

namespace {

const char* BaseText(MMRESULT code) {
    switch (code) {
    case MMSYSERR_NOERROR: return "The specified command was carried out.";
    case MMSYSERR_ERROR: return "Undefined external error.";
    case MMSYSERR_BADDEVICEID: return "A device ID has been used that is out of range for your system.";
    case MMSYSERR_NOTENABLED: return "The driver was not enabled.";
    case MMSYSERR_ALLOCATED: return "The specified device is already in use. Wait until it is free, and then try again.";
    case MMSYSERR_INVALHANDLE: return "The specified device handle is invalid.";
    case MMSYSERR_NODRIVER: return "There is no driver installed on your system.";
    case MMSYSERR_NOMEM: return "There is not enough memory available for this task. Quit one or more applications to increase available memory, and then try again.";
    case MMSYSERR_NOTSUPPORTED: return "This function is not supported. Use the Capabilities function to determine which functions and messages the driver supports.";
    case MMSYSERR_BADERRNUM: return "An error number was specified that is not defined in the system.";
    case MMSYSERR_INVALFLAG: return "An invalid flag was passed to a system function.";
    case MMSYSERR_INVALPARAM: return "An invalid parameter was passed to a system function.";
    case MMSYSERR_HANDLEBUSY: return "The specified operation cannot be performed while the handle is in use by another thread.";
    case MMSYSERR_INVALIDALIAS: return "The specified alias was not found.";
    case MMSYSERR_BADDB: return "The registry database is corrupt.";
    case MMSYSERR_KEYNOTFOUND: return "The specified registry key was not found.";
    case MMSYSERR_READERROR: return "The registry could not be opened or could not be read.";
    case MMSYSERR_WRITEERROR: return "The registry could not be written to.";
    case MMSYSERR_DELETEERROR: return "The specified registry key could not be deleted.";
    case MMSYSERR_VALNOTFOUND: return "The specified registry key value could not be found.";
    case MMSYSERR_NODRIVERCB: return "The driver did not generate a valid callback.";
    case WAVERR_BADFORMAT: return "The specified format is not supported or cannot be translated. Use the Capabilities function to determine the supported formats.";
    case WAVERR_STILLPLAYING: return "Cannot perform this operation while media data is still playing. Reset the device, or wait until the data is finished playing.";
    case WAVERR_UNPREPARED: return "The wave header was not prepared. Use the Prepare function to prepare the header, and then try again.";
    case WAVERR_SYNC: return "Cannot open the device without using the WAVE_ALLOWSYNC flag. Use the flag, and then try again.";
    default: return nullptr;
    }
}

std::mutex gDetailLock;
MMRESULT gDetailCode = MMSYSERR_NOERROR;
std::string gDetail;
bool gStreamFailed = false;  // the text is that of a device that failed while streaming

}  // namespace

void SetWaveErrorDetail(MMRESULT code, const std::string& detail) {
    std::lock_guard<std::mutex> g(gDetailLock);
    gDetailCode = code;
    gDetail = detail;
    gStreamFailed = false;
}

void ClearWaveErrorDetail() {
    std::lock_guard<std::mutex> g(gDetailLock);
    gDetailCode = MMSYSERR_NOERROR;
    gDetail.clear();
    gStreamFailed = false;
}

void SetWaveStreamFailed(MMRESULT code) {
    std::lock_guard<std::mutex> g(gDetailLock);
    if (gDetailCode != code) gDetail.clear();
    gDetailCode = code;
    gStreamFailed = true;
}

std::string WaveErrorText(MMRESULT code) {
    const char* base = BaseText(code);
    if (!base) return {};
    std::string text = base;
    std::lock_guard<std::mutex> g(gDetailLock);
    // The codes a failing stream gives name other things on the original
    // platform (a registry that could not be read): say what happened.
    if (gStreamFailed && code == gDetailCode)
        text = "The sound device stopped working (it may have been unplugged or switched off).";
    if (code != MMSYSERR_NOERROR && code == gDetailCode && !gDetail.empty()) text += " (" + gDetail + ")";
    return text;
}


MMRESULT CopyText(const std::string& text, char16_t* dst, UINT cch) {
    std::u16string w = Utf8ToUtf16(text);
    size_t n = std::min<size_t>(w.size(), cch - 1);
    // Do not cut a surrogate pair in half.
    if (n > 0 && n < w.size() && w[n - 1] >= 0xD800 && w[n - 1] < 0xDC00) --n;
    std::copy(w.begin(), w.begin() + static_cast<std::ptrdiff_t>(n), dst);
    dst[n] = 0;
    return MMSYSERR_NOERROR;
}

static MMRESULT GetErrorText(MMRESULT code, char16_t* text, UINT cch) {
    if (!text || cch == 0) return MMSYSERR_INVALPARAM;
    std::string s = WaveErrorText(code);
    if (s.empty()) {
        text[0] = 0;
        return MMSYSERR_BADERRNUM;
    }
    return CopyText(s, text, cch);
}

MMRESULT waveInGetErrorTextW(MMRESULT mmrError, char16_t* pszText, UINT cchText) {
    return GetErrorText(mmrError, pszText, cchText);
}

MMRESULT waveOutGetErrorTextW(MMRESULT mmrError, char16_t* pszText, UINT cchText) {
    return GetErrorText(mmrError, pszText, cchText);
}

}  // namespace orvant
