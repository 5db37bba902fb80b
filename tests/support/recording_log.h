// The program's log for tests: keeps each line instead of writing it.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "core/log.h"

class RecordingLog final : public platform::Log {
public:
    void Line(std::string_view utf8) override { lines.emplace_back(utf8); }

    std::vector<std::string> lines;
};
