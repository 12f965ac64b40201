#include "cli/CommandLine.h"
#include "cli/TerminalUi.h"

#include <cstdio>
#include <cstdlib>

#include <gtest/gtest.h>

namespace xv4::cli {
namespace {

std::optional<QString> Parse(const QString& line, Options* o) {
  return ParseCommandLine(line.split(QLatin1Char(' '), Qt::SkipEmptyParts), o);
}

TEST(CommandLine, OptionsKeepTheirOrderAroundTheCommand) {
  Options o;
  ASSERT_EQ(Parse("--host 127.0.0.1 --set cb_alert=0 params --bt --port=5013 --reveal "
                  "machine-no,printer-type --set NewIPAddrEd=10.0.0.9",
                  &o),
            std::nullopt);
  EXPECT_EQ(o.command, "params");
  const std::vector<std::tuple<FormAction::Kind, QString, QString>> expected = {
      {FormAction::Host, "IPAddrEd", "127.0.0.1"},
      {FormAction::Set, "cb_alert", "0"},
      {FormAction::Check, "chkBT", "1"},
      {FormAction::Port, "IPPortEd", "5013"},
      {FormAction::Reveal, "machine-no", ""},
      {FormAction::Reveal, "printer-type", ""},
      {FormAction::Set, "NewIPAddrEd", "10.0.0.9"},
  };
  ASSERT_EQ(o.actions.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(o.actions[i].kind, std::get<0>(expected[i])) << i;
    EXPECT_EQ(o.actions[i].key, std::get<1>(expected[i])) << i;
    EXPECT_EQ(o.actions[i].value, std::get<2>(expected[i])) << i;
  }
}

TEST(CommandLine, GeneralOptions) {
  Options o;
  ASSERT_EQ(Parse("--serial /dev/pts/3 --baud 115200 --id 77 --retry-count 0 --retry-interval "
                  "40 --log-traffic --quiet --data-dir /tmp --drawer-port 9101 --wireless "
                  "--clear --label-mode data font.hex",
                  &o),
            std::nullopt);
  EXPECT_EQ(o.command, "data");
  EXPECT_EQ(o.file, "font.hex");
  EXPECT_EQ(o.retryCount, 0);
  EXPECT_EQ(o.retryInterval, 40);
  EXPECT_TRUE(o.logTraffic);
  EXPECT_TRUE(o.quiet);
  EXPECT_EQ(o.dataDir, "/tmp");
  EXPECT_EQ(o.drawerPort, 9101);
  ASSERT_EQ(o.actions.size(), 6u);
  EXPECT_EQ(o.actions[0].kind, FormAction::Serial);
  EXPECT_EQ(o.actions[0].value, "/dev/pts/3");
  EXPECT_EQ(o.actions[1].kind, FormAction::Baud);
  EXPECT_EQ(o.actions[2].kind, FormAction::Id);
  EXPECT_EQ(o.actions[3].key, "chkRadio");
  EXPECT_EQ(o.actions[4].key, "chkClear");
  EXPECT_EQ(o.actions[5].key, "LabelModeCB");
}

TEST(CommandLine, CommandsAndTheirFiles) {
  const struct {
    const char* line;
    const char* command;
    const char* file;
  } ok[] = {
      {"test", "test", ""},
      {"drawer", "drawer", ""},
      {"params --data-file zk.bin", "params", ""},
      {"data", "data", ""},
      {"program fw.bin", "program", "fw.bin"},
      {"program -- -odd-name.bin", "program", "-odd-name.bin"},
      {"info", "info", ""},
      {"settings", "settings", ""},
      {"ports", "ports", ""},
      {"--help", "", ""},
      {"--version", "", ""},
      {"-h", "", ""},
      {"-V", "", ""},
  };
  for (const auto& c : ok) {
    Options o;
    EXPECT_EQ(Parse(c.line, &o), std::nullopt) << c.line;
    EXPECT_EQ(o.command, c.command) << c.line;
    EXPECT_EQ(o.file, c.file) << c.line;
  }
  Options o;
  ASSERT_EQ(Parse("-q --json test", &o), std::nullopt);
  EXPECT_TRUE(o.quiet);
  EXPECT_TRUE(o.json);
  // --json is known even when another option is refused, so the refusal comes as JSON too.
  EXPECT_TRUE(Parse("--frobnicate --json test", &o).has_value());
  EXPECT_TRUE(o.json);
}

TEST(CommandLine, BadUsageIsRefusedWithAReason) {
  const struct {
    const char* line;
    const char* error;
  } bad[] = {
      {"", "no command given"},
      {"print", "unknown command 'print'"},
      {"program", "program needs the program FILE"},
      {"test extra", "unexpected argument 'extra'"},
      {"data a b", "unexpected argument 'b'"},
      {"--frobnicate test", "unknown option '--frobnicate'"},
      {"-x test", "unknown option '-x'"},
      {"test --host", "option '--host' needs a value"},
      {"--quiet=1 test", "option '--quiet' takes no value"},
      {"--port 0 test", "--port wants a number from 1 to 65535, not '0'"},
      {"--port abc test", "--port wants a number"},
      {"--retry-count 11 test", "--retry-count wants a number from 0 to 10"},
      {"--retry-interval 0 test", "--retry-interval wants a number"},
      {"--drawer-port 70000 drawer", "--drawer-port wants a number"},
      {"--id 12x test", "--id wants a number"},
      {"--set cb_alert test", "--set wants KEY=VALUE"},
      {"--set =3 test", "--set wants KEY=VALUE"},
      {"--reveal machine-no,everything params", "--reveal: unknown row 'everything'"},
      {"--data-file x.hex data", "--data-file belongs to params"},
  };
  for (const auto& c : bad) {
    Options o;
    const std::optional<QString> error = Parse(c.line, &o);
    ASSERT_TRUE(error.has_value()) << c.line;
    EXPECT_TRUE(error->startsWith(QString::fromUtf8(c.error)))
        << c.line << ": " << error->toStdString();
  }
}

TEST(CommandLine, EmptyPathsAreRefusedRatherThanTakenAsTheDefaults) {
  const std::vector<QStringList> bad = {
      {"--data-dir", "", "test"},
      {"--data-dir=", "test"},
      {"--data-file", "", "params"},
      {"data", ""},
      {"program", ""},
  };
  for (const QStringList& args : bad) {
    Options o;
    EXPECT_TRUE(ParseCommandLine(args, &o).has_value()) << args.join(' ').toStdString();
  }
}

TEST(CommandLine, HelpReadsLikeAManPage) {
  const QString help = HelpText();
  for (const char* section : {"NAME", "SYNOPSIS", "DESCRIPTION", "COMMANDS", "OPTIONS",
                              "EXIT STATUS", "FILES", "ENVIRONMENT", "EXAMPLES"}) {
    EXPECT_TRUE(help.contains(QLatin1String(section))) << section;
  }
  for (const char* option : {"--host",
                             "--port",
                             "--serial",
                             "--baud",
                             "--id",
                             "--set",
                             "--bt",
                             "--wireless",
                             "--clear",
                             "--label-mode",
                             "--reveal",
                             "--data-file",
                             "--data-dir",
                             "--retry-count",
                             "--retry-interval",
                             "--log-traffic",
                             "--drawer-port",
                             "--quiet",
                             "--help",
                             "--version",
                             "--json",
                             "-h",
                             "-V",
                             "-q",
                             "info",
                             "settings",
                             "ports",
                             "9600"}) {
    EXPECT_TRUE(help.contains(QLatin1String(option))) << option;
  }
  for (const QString& line : help.split(QLatin1Char('\n')))
    EXPECT_LE(line.size(), 100) << line.toStdString();
}

// Output of the terminal interface, captured in memory.
class Captured {
 public:
  Captured()
      : out_(open_memstream(&outBuf_, &outSize_)), err_(open_memstream(&errBuf_, &errSize_)) {}
  ~Captured() {
    std::fclose(out_);
    std::fclose(err_);
    std::free(outBuf_);
    std::free(errBuf_);
  }
  std::FILE* Out() { return out_; }
  std::FILE* Err() { return err_; }
  QString OutText() {
    std::fflush(out_);
    return QString::fromUtf8(outBuf_, static_cast<qsizetype>(outSize_));
  }
  QString ErrText() {
    std::fflush(err_);
    return QString::fromUtf8(errBuf_, static_cast<qsizetype>(errSize_));
  }

 private:
  char* outBuf_ = nullptr;
  size_t outSize_ = 0;
  char* errBuf_ = nullptr;
  size_t errSize_ = 0;
  std::FILE* out_;
  std::FILE* err_;
};

TEST(TerminalUi, PlainOutputReportsStatusAndTenthsOfTheWay) {
  Captured c;
  TerminalUi ui(c.Out(), c.Err(), false, false);
  ui.Show();
  ui.SetStatus(0, QStringLiteral("Connect..."));
  ui.SetMargin(8192);
  for (int i = 1; i <= 8192; ++i)
    ui.SetProgress(i);
  ui.Close();
  ui.SuccessMessage(QStringLiteral("Done."), QStringLiteral("3 records in 0.1 s"));
  const QStringList lines = c.ErrText().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
  ASSERT_EQ(lines.size(), 12);
  EXPECT_EQ(lines[0], "Connect...");
  EXPECT_EQ(lines[1], "1/8192");
  EXPECT_EQ(lines[2], "820/8192");
  EXPECT_EQ(lines.last(), "8192/8192");
  EXPECT_EQ(c.OutText(), "Done.\n3 records in 0.1 s\n");
}

TEST(TerminalUi, TerminalRedrawsAreRateLimited) {
  Captured c;
  TerminalUi ui(c.Out(), c.Err(), true, false);
  ui.Show();
  ui.SetStatus(0, QStringLiteral("Sending"));
  ui.SetMargin(100000);
  for (int i = 1; i <= 100000; ++i)
    ui.SetProgress(i);
  ui.Close();
  const QString err = c.ErrText();
  EXPECT_LT(err.count(QLatin1Char('\r')), 1000);
  EXPECT_TRUE(err.contains(QStringLiteral("100000/100000 [##############################] 100%")));
  EXPECT_TRUE(err.endsWith(QLatin1Char('\n')));
}

TEST(TerminalUi, FailureGoesToStderrWithItsDetailAndCancelDropsIt) {
  Captured c;
  TerminalUi ui(c.Out(), c.Err(), false, true);
  ui.SetFieldOption(QStringLiteral("IPAddrEd"), QStringLiteral("--host"));
  ui.Show();
  ui.SetStatus(0, QStringLiteral("quiet: not shown"));
  ui.ShowFinalStatus(QStringLiteral("Connect...fail!"), QStringLiteral("no answer"));
  ui.SuccessMessage(QStringLiteral("quiet: not shown either"), {});
  ui.MessageBox(platform::MessageKind::Error, QStringLiteral("Invalid S/N"),
                ui.FieldText(QStringLiteral("IPAddrEd"), QStringLiteral("1.2.3")) +
                    QStringLiteral(": Invalid S/N"));
  ui.MessageBox(platform::MessageKind::Error, QStringLiteral("Invalid S/N"),
                ui.FieldText(QStringLiteral("NewIPAddrEd"), {}) + QStringLiteral(": Invalid S/N"));
  ui.Cancel();
  EXPECT_TRUE(ui.Cancelled());
  ui.SetStatus(0, QStringLiteral("after cancel"));
  ui.ShowFinalStatus(QStringLiteral("after cancel"), {});
  EXPECT_EQ(c.OutText(), "");
  EXPECT_EQ(c.ErrText(),
            "xv4ctl: Connect...fail!\nno answer\nxv4ctl: --host 1.2.3: Invalid S/N\n"
            "xv4ctl: NewIPAddrEd=\"\" (default): Invalid S/N\n");
  EXPECT_FALSE(ui.ChooseFile(QStringLiteral("OpenFont")).has_value());
}

}  // namespace
}  // namespace xv4::cli
