#include "cli/commandline.h"

#include "convert/sourcefiles.h"
#include "convert/textcolumns.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>
#include <QVector>

namespace {

// One option of the tool, and what to say when its value is missing (empty for a flag).
struct OptionRow
{
    QCommandLineOption option;
    QString missingValue;
};

// The tool's options, in the order of the help text. QCommandLineParser reads them; its
// descriptions stay empty because the help text is our own (commandLineHelp()).
const QVector<OptionRow>& optionTable()
{
    static const QVector<OptionRow> table{
        {QCommandLineOption({QStringLiteral("o"), QStringLiteral("save-to")}, QString(), QStringLiteral("dir")),
         QStringLiteral("%1 需要一个文件夹")},
        {QCommandLineOption(QStringLiteral("xls")), QString()},
        {QCommandLineOption({QStringLiteral("d"), QStringLiteral("delimiter")}, QString(), QStringLiteral("name")),
         QStringLiteral("%1 需要一个分隔符: tab, semicolon, comma 或 space")},
        {QCommandLineOption(QStringLiteral("merge-delimiters")), QString()},
        {QCommandLineOption(QStringLiteral("text-columns"), QString(), QStringLiteral("list")),
         QStringLiteral("%1 需要一个列表: 以逗号 (\",\"、\"，\" 或 \"、\") 分隔的列号 (从 1 开始), 例如 2,3,4")},
        {QCommandLineOption(QStringLiteral("encoding"), QString(), QStringLiteral("name")),
         QStringLiteral("%1 需要一个值: auto, utf16 或 local")},
        {QCommandLineOption(QStringLiteral("cell-by-cell")), QString()},
        {QCommandLineOption(QStringLiteral("auto")), QString()},
        {QCommandLineOption(QStringLiteral("report"), QString(), QStringLiteral("file")),
         QStringLiteral("%1 需要一个文件名 (- 表示标准输出)")},
        {QCommandLineOption({QStringLiteral("j"), QStringLiteral("jobs")}, QString(), QStringLiteral("count")),
         QStringLiteral("%1 需要一个数: 同时转换的文件数")},
        {QCommandLineOption(QStringList{QStringLiteral("q"), QStringLiteral("quiet")}), QString()},
        {QCommandLineOption(QStringList{QStringLiteral("h"), QStringLiteral("help")}), QString()},
        {QCommandLineOption(QStringLiteral("version")), QString()},
    };
    return table;
}

QString dashed(const QString& name)
{
    return (name.size() == 1 ? QStringLiteral("-") : QStringLiteral("--")) + name;
}

const OptionRow* findOption(const QString& name)
{
    for (const OptionRow& row : optionTable()) {
        if (row.option.names().contains(name))
            return &row;
    }
    return nullptr;
}

bool takesValue(const OptionRow& row)
{
    return !row.option.valueName().isEmpty();
}

// QCommandLineParser says what went wrong in English only. When it refuses the arguments, they
// are walked once more, in order, to name the first problem in the tool's own words.
QString argumentProblem(const QStringList& arguments)
{
    for (int i = 0; i < arguments.size(); ++i) {
        const QString& argument = arguments.at(i);
        if (argument == QLatin1String("--"))
            break;
        if (!argument.startsWith(QLatin1Char('-')) || argument == QLatin1String("-"))
            continue;
        const bool last = i + 1 == arguments.size();
        if (argument.startsWith(QLatin1String("--"))) {
            const int equals = argument.indexOf(QLatin1Char('='));
            const QString name = argument.mid(2, equals < 0 ? -1 : equals - 2);
            const OptionRow* row = findOption(name);
            if (!row)
                return QStringLiteral("未知选项: %1 (用 --help 查看可用选项)").arg(dashed(name));
            if (!takesValue(*row) && equals >= 0)
                return QStringLiteral("选项 %1 不带值").arg(dashed(name));
            if (takesValue(*row) && equals < 0) {
                if (last)
                    return row->missingValue.arg(dashed(name));
                ++i;
            }
            continue;
        }
        // Short options may be written together ("-qo DIR"); a value may follow its letter.
        for (int k = 1; k < argument.size(); ++k) {
            const QString name = argument.mid(k, 1);
            const OptionRow* row = findOption(name);
            if (!row)
                return QStringLiteral("未知选项: %1 (用 --help 查看可用选项)").arg(dashed(name));
            if (takesValue(*row)) {
                if (k + 1 == argument.size()) {
                    if (last)
                        return row->missingValue.arg(dashed(name));
                    ++i;
                }
                break;
            }
        }
    }
    return QStringLiteral("无法识别的参数 (用 --help 查看用法)");
}

QString folderArgument(const QString& path)
{
    // Folders travel with a trailing separator, as the window's folder dialogs deliver them.
    QString native = QDir::toNativeSeparators(QFileInfo(path).absoluteFilePath());
    if (!native.endsWith(QDir::separator()))
        native += QDir::separator();
    return native;
}

// Sets the source decoding from an --encoding value; false for a name the tool does not know.
bool applyEncoding(const QString& value, ConversionOptions* options)
{
    const QString lower = value.toLower();
    if (lower == QLatin1String("auto")) {
        options->sourceUcs2 = false;
        options->sourceUtf8Bom = false;
    } else if (lower == QLatin1String("utf16")) {
        options->sourceUcs2 = true;
        options->sourceUtf8Bom = false;
    } else if (lower == QLatin1String("local")) {
        options->sourceUcs2 = false;
        options->sourceUtf8Bom = true;
    } else {
        return false;
    }
    return true;
}

} // namespace

QString commandLineHelp()
{
    return QStringLiteral("用法: quillmorne-convert [选项] 源文件夹\n"
                          "\n"
                          "把源文件夹及其子文件夹中的每个 .txt 文件转换为一个工作簿 (.xlsx 或 .xls)。\n"
                          "隐藏文件夹 (名称以 . 开头) 中的文件和 .txt 文件的符号链接不转换; 隐藏的 .txt 文件照常\n"
                          "转换; 指向文件夹的链接会进入, 每个文件夹只进入一次。\n"
                          "\n"
                          "选项:\n"
                          "  -o, --save-to 文件夹      工作簿保存到该文件夹下相同的子文件夹中 (默认: 保存在源文件旁)\n"
                          "      --xls                 写 .xls (Excel 97-2003) 而不是 .xlsx\n"
                          "  -d, --delimiter 分隔符    tab | semicolon | comma | space (默认: tab)\n"
                          "      --merge-delimiters    连续的分隔符视为一个\n"
                          "      --text-columns 列表   按文本导入的列, 例如 2,3,4 (长数字保留每一位)\n"
                          "      --encoding 编码       auto | utf16 | local (默认: auto, 即自动识别 UTF-8、GBK\n"
                          "                            或 UTF-16)\n"
                          "      --cell-by-cell        逐个单元格写入 (需要 --text-columns)\n"
                          "      --auto                自动识别转换, 不使用以上导入设置\n"
                          "      --report 文件         把每个文件的结果写成 JSON 报告; - 表示标准输出\n"
                          "                            (此时汇总改写到标准错误)\n"
                          "  -j, --jobs 数量           同时转换的文件数 (默认: 处理器核数)\n"
                          "  -q, --quiet               只输出汇总、失败和警告, 不显示进度\n"
                          "  -h, --help                显示本帮助\n"
                          "      --version             显示版本\n"
                          "\n"
                          "按一次 Ctrl+C: 当前文件转换完成后停止; 再按一次 Ctrl+C, 或收到 SIGTERM、SIGHUP:\n"
                          "立即停止, 放弃正在转换的文件 (列入失败列表), 不留下临时文件。\n"
                          "\n"
                          "退出状态: 0 全部转换成功; 1 有文件未能转换; 2 参数错误或文件夹不存在;\n"
                          "128+信号编号 被信号中断且有文件未转换 (Ctrl+C 为 130, SIGTERM 为 143, SIGHUP 为 129)。\n"
                          "无法转换的文件列在源文件夹的 \"%1\" 中。\n"
                          "\n"
                          "汇总写到标准输出; 进度、警告和失败 (附原因) 写到标准错误。只有标准错误是终端且没有设置\n"
                          "NO_COLOR 环境变量时, \"失败\" 和 \"警告\" 才带颜色。\n"
                          "详见 man quillmorne-convert。\n")
        .arg(failureListFileName());
}

QStringList commandLineOptionNames()
{
    QStringList names;
    for (const OptionRow& row : optionTable()) {
        for (const QString& name : row.option.names())
            names << dashed(name);
    }
    return names;
}

namespace {

// The import options of a parsed command line: delimiter, merging, text columns, encoding and the
// cell-by-cell choice. Empty when they are all valid, else the message for the first that is not.
QString takeImportOptions(const QCommandLineParser& parser, ConversionOptions& options)
{
    if (parser.isSet(QStringLiteral("delimiter"))) {
        const QString value = parser.value(QStringLiteral("delimiter"));
        if (!delimiterFromName(value, &options.delimiter))
            return QStringLiteral("无效的分隔符 \"%1\": 可选 %2").arg(value, delimiterNames());
    }
    options.consecutiveDelimiters = parser.isSet(QStringLiteral("merge-delimiters"));
    if (parser.isSet(QStringLiteral("text-columns"))) {
        const QString value = parser.value(QStringLiteral("text-columns"));
        if (parseTextColumnList(value).invalid)
            return QStringLiteral("无效的文本列 \"%1\": 请给出以逗号 (\",\"、\"，\" 或 \"、\") 分隔的列号 (从 1 开始), "
                                  "例如 2,3,4")
                .arg(value);
        options.textColumnsEnabled = true;
        options.textColumns = value;
    }
    if (parser.isSet(QStringLiteral("encoding"))) {
        const QString value = parser.value(QStringLiteral("encoding"));
        if (!applyEncoding(value, &options))
            return QStringLiteral("无效的编码 \"%1\": 可选 auto, utf16 或 local").arg(value);
    }
    options.cellByCellMode = parser.isSet(QStringLiteral("cell-by-cell"));
    if (options.cellByCellMode && !options.textColumnsEnabled)
        return QStringLiteral("--cell-by-cell 需要同时给出 --text-columns");
    return {};
}

// How the run goes: the mode, the messages, the report and the number of files at once. Empty
// when all is valid, else the message.
QString takeRunOptions(const QCommandLineParser& parser, CommandLine& result)
{
    result.automatic = parser.isSet(QStringLiteral("auto"));
    result.quiet = parser.isSet(QStringLiteral("quiet"));
    if (parser.isSet(QStringLiteral("jobs"))) {
        const QString value = parser.value(QStringLiteral("jobs"));
        bool ok = false;
        result.jobs = value.trimmed().toInt(&ok, 10);
        if (!ok || result.jobs < 1 || result.jobs > maxJobs)
            return QStringLiteral("无效的文件数 \"%1\": 请给出 1 到 %2 之间的整数").arg(value).arg(maxJobs);
    }
    if (parser.isSet(QStringLiteral("report"))) {
        result.reportPath = parser.value(QStringLiteral("report"));
        if (result.reportPath.isEmpty())
            return QStringLiteral("--report 需要一个文件名 (- 表示标准输出)");
    }
    return {};
}

// The folders: the one source folder (the only argument that is not an option) and the save
// folder. Empty when they are given as they must be, else the message.
QString takeFolders(const QCommandLineParser& parser, ConversionOptions& options)
{
    const QString saveFolder = parser.value(QStringLiteral("save-to"));
    const bool haveSaveFolder = parser.isSet(QStringLiteral("save-to"));
    if (haveSaveFolder && saveFolder.isEmpty())
        return QStringLiteral("--save-to 需要一个文件夹");
    const QStringList positional = parser.positionalArguments();
    if (positional.size() > 1)
        return QStringLiteral("只能给出一个源文件夹, 多余的参数: %1").arg(positional.at(1));
    if (positional.isEmpty() || positional.first().isEmpty())
        return QStringLiteral("缺少源文件夹 (用 --help 查看用法)");
    options.sourceFolder = folderArgument(positional.first());
    options.saveToSourceFolder = !haveSaveFolder;
    options.saveFolder = haveSaveFolder ? folderArgument(saveFolder) : QString();
    options.failureListPath = QDir::toNativeSeparators(QDir(options.sourceFolder).filePath(failureListFileName()));
    return {};
}

} // namespace

CommandLine parseCommandLine(const QStringList& arguments)
{
    CommandLine result;
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsCompactedShortOptions);
    for (const OptionRow& row : optionTable())
        parser.addOption(row.option);
    QString problem;
    if (!parser.parse(QStringList{QStringLiteral("quillmorne-convert")} + arguments)) {
        problem = argumentProblem(arguments);
    } else if (parser.isSet(QStringLiteral("help"))) {
        result.action = CommandLine::Action::ShowHelp;
        return result;
    } else if (parser.isSet(QStringLiteral("version"))) {
        result.action = CommandLine::Action::ShowVersion;
        return result;
    } else {
        result.options.xlsxOutput = !parser.isSet(QStringLiteral("xls"));
        problem = takeImportOptions(parser, result.options);
        if (problem.isEmpty())
            problem = takeRunOptions(parser, result);
        if (problem.isEmpty())
            problem = takeFolders(parser, result.options);
    }
    if (!problem.isEmpty()) {
        result.action = CommandLine::Action::Error;
        result.errorMessage = problem;
    }
    return result;
}

Failure checkFolders(const ConversionOptions& options)
{
    return checkJobFolders(options);
}
