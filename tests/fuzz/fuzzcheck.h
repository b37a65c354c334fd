#pragma once

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

#include <cstdio>

// Ends the harness when an invariant does not hold. __builtin_trap() makes
// libFuzzer report a crash and keep the input as an artifact.
#define FUZZ_CHECK(condition, ...)                                              \
    do {                                                                        \
        if (!(condition)) {                                                     \
            std::fprintf(stderr, "\n*** invariant broken: %s\n*** ", #condition); \
            std::fprintf(stderr, __VA_ARGS__);                                  \
            std::fputc('\n', stderr);                                           \
            __builtin_trap();                                                   \
        }                                                                       \
    } while (false)

namespace fuzz {

// One scratch folder for the whole run, removed when the process ends normally.
inline const QTemporaryDir &scratchDir()
{
    static const QTemporaryDir dir;
    FUZZ_CHECK(dir.isValid(), "no temporary folder");
    return dir;
}

// A printable form of a text for the messages above.
inline QByteArray printable(const QString &text)
{
    return text.toUtf8().toPercentEncoding(" =.,:;_+-/()[]");
}

} // namespace fuzz
