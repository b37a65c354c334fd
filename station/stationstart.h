#pragma once

#include "stationboard.h"

#include <QString>
#include <QStringList>

#include <memory>

class StationProfile;

// What zorbelstation is started with, turned into a station's set-up, or into the
// reason it does not start:
//
//   zorbelstation PROFILE
//   zorbelstation FILE --expect-version V [--log LOGFILE]
//
// The profile is read first, then the firmware file is judged, then the log file is
// opened: a refusal at any step leaves nothing written, no log file made.
class StationStart
{
public:
    enum class Status {
        Ready,          // setup() holds the station
        Help,           // --help or --version: text() is for standard output
        UsageError,     // arguments, profile or log file: text() says why
        FileNotSuitable, // the firmware file is refused: text() says why
    };

    static StationStart fromArguments(const QStringList &arguments);

    Status status() const { return m_status; }
    // The message for the line (without the program's name), or the help text.
    QString text() const { return m_text; }
    // The set-up, once (Ready); null afterwards and otherwise.
    std::unique_ptr<StationBoard::Setup> takeSetup() { return std::move(m_setup); }

    static QString usage();

private:
    static StationStart fromFile(const QString &file, int expected, const QString &logPath);
    static StationStart fromProfile(const QString &path);
    static QString profileError(const StationProfile &profile);
    static StationStart withText(Status status, const QString &text);
    void fail(Status status, const QString &text);
    bool takeFirmware(const QString &path, int expectedVersion);
    bool openLog(const QString &path);

    Status m_status = Status::UsageError;
    QString m_text;
    std::unique_ptr<StationBoard::Setup> m_setup;
};
