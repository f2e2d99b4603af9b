// Restores an environment variable when the test scope ends.
#pragma once

#include <cstdlib>
#include <string>

struct EnvGuard {
    std::string name, saved;
    bool had;
    explicit EnvGuard(const char* n) : name(n) {
        const char* v = getenv(n);
        had = v != nullptr;
        if (had) saved = v;
    }
    ~EnvGuard() {
        if (had)
            setenv(name.c_str(), saved.c_str(), 1);
        else
            unsetenv(name.c_str());
    }
};
