// A desktop "open" for tests: records every target and answers as told.
#pragma once

#include <QString>
#include <vector>

#include "desktop/shell.h"

class RecordingShell final : public platform::ShellService {
public:
    explicit RecordingShell(int result = platform::kShellOpenSucceeded) : result_(result) {}
    int Open(const QString& target) override {
        opened.push_back(target);
        return result_;
    }
    void setResult(int result) { result_ = result; }

    std::vector<QString> opened;

private:
    int result_;
};
