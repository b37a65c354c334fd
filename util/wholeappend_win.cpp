// WholeAppend on Windows: QFile's write, and resize() for a part to cut off; there is no
// lock, so programs sharing the file do not take turns.

#include "wholeappend.h"

#include <QByteArray>
#include <QFile>

namespace WholeAppend {

Result append(QFile &file, const QByteArray &record)
{
    Result result;
    const qint64 start = file.size();
    const qint64 written = file.write(record);
    if (written == record.size()) {
        result.outcome = Result::Outcome::Whole;
        return result;
    }
    result.error = file.errorString();
    if (written > 0 && !file.resize(start))
        result.outcome = Result::Outcome::Torn;
    return result;
}

} // namespace WholeAppend
