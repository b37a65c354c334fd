#pragma once

// WholeAppend: one record appended to a file whole or not at all, in turn with the other
// programs that append to the same file. The platform's side: wholeappend_posix.cpp and
// wholeappend_win.cpp.

#include <QString>

class QByteArray;
class QFile;

namespace WholeAppend {

struct Result
{
    enum class Outcome {
        Whole,      // the record was appended whole
        NotWritten, // nothing of it is in the file (none was written, or the part written
                    // was cut off again); see error
        Torn        // a part of it was written and could not be cut off: the file now ends
                    // mid-line; see error
    };
    Outcome outcome = Outcome::NotWritten;
    QString error; // the system's words, unless Whole
};

// Appends record to file (open for appending, unbuffered). On Unix the programs sharing
// the file take turns through an advisory lock (flock), waited for briefly (a holder that
// keeps it longer is not waited for: the record is then appended without it), and a part
// written is cut off only under the lock, as without it another program's record may
// follow it already. On Windows there is no lock.
Result append(QFile &file, const QByteArray &record);

} // namespace WholeAppend
