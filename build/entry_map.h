#pragma once

#include <string>

#include "build/toolchain.h"
#include "platform/platform.h"

namespace launcher {

class Builder;

// Where an archive entry of `tool` is installed, relative to the tool's folder; "" skips it. A "vsix"
// package installs only what lies under "Contents/", its names percent-decoded first; then `strip`
// leading components go, folders are skipped, and a non-empty `keep` list lets through only the names
// that one of its patterns accepts ("dir/" a folder prefix, else a whole-path glob whose '*' stays
// within one component).
std::string MapArchiveEntry(const Tool& tool, const std::string& name);

// `name` without its first `count` '/'-separated components; "" when it has fewer; unchanged for a
// count below 1.
std::string StripComponents(const std::string& name, int32_t count);

// Every '%' followed by two hexadecimal digits becomes the byte they give; everything else is copied.
std::string PercentDecode(const std::string& text);

// Reports an extraction of `tool` as "Unpacking <title>" with the fraction done (no bar without a total).
// Holds references to both.
ProgressSink UnpackProgress(Builder& builder, const Tool& tool);

}  // namespace launcher
