#pragma once

#include "portmap.h"

#include <QString>
#include <QStringList>

// The command line of zorbelflash: a command (check, list, write) with its file and
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
    };

    static constexpr int kDefaultWaitSeconds = 10;
    static constexpr int kMaxWaitSeconds = 3600;
    // The most instruments --count may expect: one on each COM name.
    static constexpr int kMaxCount = PortMap::kHighestComNumber;
    // Station mode: silence after which a port whose unit left the station in doubt is
    // armed again; after a write, how long the instrument is waited for to answer again.
    static constexpr int kDefaultRearmAfterSeconds = 5;
    static constexpr int kDefaultRestartWaitSeconds = 15;

    struct Options
    {
        Command command = Command::Help;
        QString file;
        QString port;     // empty: every port present is asked
        bool all = false; // write every instrument that answers
        int count = 0;    // --all: instruments expected; 0: as many as answer in the first round that finds any
        bool watch = false; // station mode: write each instrument as it appears, until ended
        bool json = false;
        bool strict = false; // check, write: a record with a wrong checksum refuses the file
        QString logFile;  // empty: no log
        int waitMs = kDefaultWaitSeconds * 1000;
        int expectedVersion = -1; // --expect-version, e.g. 124 for V1.24; -1: none
        int rearmAfterMs = kDefaultRearmAfterSeconds * 1000;
        int restartWaitMs = kDefaultRestartWaitSeconds * 1000;
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
