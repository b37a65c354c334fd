#pragma once

#include "portmap.h"
#include "stationtimes.h"

#include <QString>
#include <QStringList>

#include <chrono>

// The command line of zorbelflash: a command (check, list, write, station) with its file and
// options. Parsing never exits the program; errors come back as text.
class CommandLine
{
public:
    enum class Command {
        Help,    // -h, --help
        Version, // --version
        Check,   // check FILE
        List,    // list
        Write,   // write FILE [options]
        Station, // station PROFILE [--json] [--journal] [--strict]
    };

    static constexpr int kDefaultWaitSeconds = 10;
    static constexpr int kMaxWaitSeconds = 3600;
    // The most instruments --count may expect: one on each COM name.
    static constexpr int kMaxCount = PortMap::kHighestComNumber;

    static constexpr int millis(std::chrono::milliseconds duration) { return static_cast<int>(duration.count()); }

    struct Options
    {
        Command command = Command::Help;
        QString file;
        QString port;     // empty: every port present is asked
        bool all = false; // write every instrument that answers
        int count = 0;    // --all: instruments expected; 0: as many as answer in the first round that finds any
        bool watch = false; // station mode: write each instrument as it appears, until ended
        bool json = false;
        bool journal = false; // each record also goes to the system's journal
        QString profile;  // station: the station's profile
        bool strict = false; // check, write: a record with a wrong checksum refuses the file
        QString logFile;  // empty: no log
        int waitMs = millis(std::chrono::seconds(kDefaultWaitSeconds));
        int expectedVersion = -1; // --expect-version, e.g. 124 for V1.24; -1: none
        int restartWaitMs = millis(StationTimes::kRestartWait);
    };

    struct Result
    {
        Options options;
        QString error; // empty when the command line is valid
    };

    // arguments as QCoreApplication::arguments() gives them (the program first).
    static Result parse(const QStringList &arguments);
    static QString helpText();
    // Every name of every option, long and short, without dashes ("h", "help", "port").
    static QStringList optionNames();
};
