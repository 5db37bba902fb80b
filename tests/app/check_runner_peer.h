// What the tests look at inside a runner of checks.
#pragma once

#include "app/check_runner.h"

class CheckRunnerTestPeer {
public:
    // A check is waiting on the network right now.
    static bool Running(const CheckRunner& runner) { return runner.running_; }
};
