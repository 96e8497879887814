// A folder of its own for one test, removed with everything in it afterwards.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <stdexcept>
#include <string>

namespace orvant::testsupport {

class TScratchDir {
public:
    explicit TScratchDir(const std::string& prefix = "orvant-test") {
        // The base is fixed at first use, so tests that point TMPDIR at a
        // scratch folder do not nest later scratch folders inside it.
        static const std::filesystem::path base = std::filesystem::temp_directory_path();
        std::string tmpl = (base / (prefix + "-XXXXXX")).string();
        if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
        fPath = tmpl;
    }
    ~TScratchDir() {
        std::error_code ec;
        std::filesystem::remove_all(fPath, ec);
    }
    TScratchDir(const TScratchDir&) = delete;
    TScratchDir& operator=(const TScratchDir&) = delete;

    // Without a trailing '/'.
    const std::string& Path() const { return fPath; }
    std::string operator/(const std::string& name) const { return fPath + "/" + name; }

private:
    std::string fPath;
};

}  // namespace orvant::testsupport
