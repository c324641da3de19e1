#pragma once

// The window program's command line: tolvane [--help | --version] [--] [FILE]...

#include <QString>
#include <QStringList>

struct CommandLine {
    enum class Ask { Window, Help, Version };
    Ask ask = Ask::Window;
    QStringList files; // absolute paths, in the order given
    QString error;     // the first option it does not know; empty when none
};

// Reads `arguments` (without the program's name); relative file names are
// taken against `folder`. Everything after "--" is a file name.
CommandLine readCommandLine(const QStringList& arguments, const QString& folder);

// What --help prints.
QString usageText();
