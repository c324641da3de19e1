#include "app/command_line.h"

#include <QDir>

CommandLine readCommandLine(const QStringList& arguments, const QString& folder)
{
    CommandLine line;
    bool options = true;
    for (const QString& argument : arguments) {
        if (options && argument == "--") {
            options = false;
        } else if (options && (argument == "--help" || argument == "-h")) {
            line.ask = CommandLine::Ask::Help;
        } else if (options && argument == "--version") {
            line.ask = CommandLine::Ask::Version;
        } else if (options && argument.startsWith('-') && argument != "-") {
            if (line.error.isEmpty())
                line.error = argument;
        } else {
            line.files << QDir::cleanPath(QDir(folder).absoluteFilePath(argument));
        }
    }
    return line;
}

QString usageText()
{
    return "Usage: tolvane [FILE]...\n"
           "Opens the window that converts Java Card CAP files to IJC files.\n"
           "Each FILE is converted in turn once the window is up, as a drop of it would be;\n"
           "the last stays chosen.\n"
           "\n"
           "  -h, --help   show this help and exit\n"
           "  --version    show the version and exit\n"
           "  --           take every argument after it as a file name\n";
}
