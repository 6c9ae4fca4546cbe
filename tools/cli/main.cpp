// korvel: command-line access to devices, log files and the built-in
// simulator.
#include <CLI/CLI.hpp>
#include <fmt/core.h>

#include "commands.h"
#include "common.h"
#include "plot.h"

namespace {

constexpr const char* kAddressHelp = "device address a.b.c.d[,cmdport[,dataport]]";

}  // namespace

int main(int argc, char** argv) {
  char version[16] = {};
  KV_GetSDKVersion(version);
  CLI::App app{"korvel: data-acquisition devices from the command line"};
  app.set_version_flag("--version", fmt::format("korvel {}", version));
  app.require_subcommand(1, 1);
  app.fallthrough();
  int rc = cli::kOk;

  std::string address, model = "LX3100", text;
  auto* demo = app.add_subcommand("demo", "identify, read, scan and log a device (default: a "
                                          "built-in simulated one)");
  demo->add_option("--address", address, kAddressHelp);
  demo->add_option("--model", model, "simulated family: LX3100, LX3200, LXR5000, MC610s, MC620Ws");
  demo->callback([&] { rc = cli::demo(address, model); });

  auto* info = app.add_subcommand("info", "model, firmware, inputs, slots and calibration");
  info->add_option("address", address, kAddressHelp)->required();
  info->callback([&] { rc = cli::info(address); });

  cli::ReadOptions read;
  auto* read_cmd = app.add_subcommand("read", "one reading of the inputs (volts and codes)");
  read_cmd->add_option("address", read.address, kAddressHelp)->required();
  read_cmd->add_option("--channel", read.channel, "one input only")->check(CLI::Range(0, 127));
  read_cmd->add_option("--gain,--range", read.gain, "range (gain) code")->check(CLI::Range(0, 9));
  read_cmd->add_flag("--raw", read.raw, "raw codes only");
  read_cmd->callback([&] { rc = cli::read(read); });

  long long set_value = -1;
  auto* dio = app.add_subcommand("dio", "read the digital inputs and outputs, or set the outputs");
  dio->add_option("address", address, kAddressHelp)->required();
  dio->add_option("--set", set_value, "output value to write first")
      ->check(CLI::Range(0ll, 0xFFFFFFFFll));
  dio->callback([&] { rc = cli::dio(address, set_value); });

  cli::ScanOptions scan;
  auto* scan_cmd = app.add_subcommand("scan", "an analog-input scan into statistics or a file");
  scan_cmd->add_option("address", scan.address, kAddressHelp)->required();
  scan_cmd->add_option("--channels", scan.channels, "channels 0..N-1 (default: every input)")
      ->check(CLI::Range(1, 128));
  scan_cmd->add_option("--gain,--range", scan.gain, "range (gain) code")->check(CLI::Range(0, 9));
  scan_cmd->add_option("--rate", scan.rate, "samples per second per channel")
      ->check(CLI::Range(1, 10000000));
  auto* samples = scan_cmd->add_option("--samples", scan.samples, "samples over all channels")
                      ->check(CLI::Range(1u, 0xFFFFFFFFu));
  auto* continuous =
      scan_cmd->add_flag("--continuous", scan.continuous, "scan until Ctrl-C (or --seconds)");
  samples->excludes(continuous);
  scan_cmd->add_option("--seconds", scan.seconds, "end a continuous scan after this long")
      ->check(CLI::Range(0.0, 1e7))
      ->needs(continuous);
  scan_cmd->add_option("--trigger", scan.trigger, "trigger mode code (0: none)")
      ->check(CLI::Range(0, 8));
  scan_cmd->add_flag("--raw", scan.raw, "raw codes instead of volts");
  scan_cmd->add_option("-o,--output", scan.output,
                       "FILE.csv, FILE.npy, FILE.bin (float32), or - for CSV on stdout");
  scan_cmd->add_option("--lowpass", scan.lowpass, "software low-pass cut-off in Hz (LX-R5000)")
      ->check(CLI::PositiveNumber);
  scan_cmd->add_option("--highpass", scan.highpass, "software high-pass cut-off in Hz (LX-R5000)")
      ->check(CLI::PositiveNumber);
  scan_cmd->add_option("--order", scan.order, "filter order, a multiple of 4")
      ->check(CLI::Range(4, 32));
  scan_cmd->callback([&] {
    if (scan.order % 4 != 0)
      rc = cli::usage_error(fmt::format("--order {}: the order must be a multiple of 4", scan.order));
    else if (!scan.continuous && scan.samples == 0)
      rc = cli::usage_error("scan: give --samples N (over all channels) or --continuous");
    else
      rc = cli::scan(scan);
  });

  cli::LogOptions log;
  auto* log_cmd = app.add_subcommand("log", "log a scan into files below a folder");
  log_cmd->add_option("address", log.address, kAddressHelp)->required();
  log_cmd->add_option("--dir", log.dir, "log root (created when missing)")->required();
  log_cmd->add_option("--mode", log.mode,
                      "0 raw+config, 1 text+config, 2 raw without start time, 3 text only, 4 raw "
                      "only")
      ->check(CLI::Range(0, 4));
  log_cmd->add_option("--period", log.period, "minutes per data file")->check(CLI::Range(1, 1440));
  log_cmd->add_option("--grouping", log.grouping, "folder grouping 0..7")->check(CLI::Range(0, 7));
  auto* log_seconds = log_cmd->add_option("--seconds", log.seconds, "log continuously this long")
                          ->check(CLI::Range(0.001, 1e7));
  log_cmd->add_option("--samples", log.samples, "log this many samples (over all channels)")
      ->check(CLI::Range(1u, 0xFFFFFFFFu))
      ->excludes(log_seconds);
  log_cmd->add_option("--channels", log.channels, "channels 0..N-1 (default: every input)")
      ->check(CLI::Range(1, 128));
  log_cmd->add_option("--rate", log.rate, "samples per second per channel")
      ->check(CLI::Range(1, 10000000));
  log_cmd->add_option("--gain,--range", log.gain, "range (gain) code")->check(CLI::Range(0, 9));
  log_cmd->callback([&] {
    rc = log.samples == 0 && log.seconds <= 0
             ? cli::usage_error("log: give --seconds S or --samples N")
             : cli::log(log);
  });

  std::string dir;
  auto* logs = app.add_subcommand("logs", "list the log files the reader finds below a folder");
  logs->add_option("dir", dir, "log root")->required();
  logs->callback([&] { rc = cli::logs(dir); });

  std::string log_path, output;
  auto* exp = app.add_subcommand("export", "a log file's samples in volts as CSV or NumPy");
  exp->add_option("log", log_path, "data file written by the logger")->required();
  exp->add_option("-o,--output", output, "FILE.csv, FILE.npy, or - for CSV on stdout")->required();
  exp->callback([&] { rc = cli::export_log(log_path, output); });

  std::string plot_in;
  double plot_rate = 0;
  auto* plot = app.add_subcommand("plot", "plot a .csv or .npy scan file");
  plot->add_option("file", plot_in, "scan file from korvel scan or export")->required();
  plot->add_option("-o,--output", output, "FILE.svg or FILE.png")->required();
  plot->add_option("--rate", plot_rate, "scans per second of a .npy file (time axis)")
      ->check(CLI::NonNegativeNumber);
  plot->callback([&] { rc = cli::plot_file(plot_in, output, plot_rate); });

  cli::SimOptions sim;
  auto* sim_cmd = app.add_subcommand("sim", "run the device simulator until Ctrl-C");
  sim_cmd->add_option("--model", sim.model, "LX3100, LX3200, LXR5000, MC610s, MC620Ws");
  sim_cmd->add_option("--address", sim.address, "loopback address to serve");
  sim_cmd->add_option("--cmd-port", sim.cmd_port, "command port")->check(CLI::Range(1, 65535));
  sim_cmd->add_option("--data-port", sim.data_port, "(first) data port")->check(CLI::Range(1, 65535));
  sim_cmd->add_flag("--fast", sim.fast, "stream as fast as TCP allows");
  sim_cmd->add_option("--slots", sim.slots,
                      "slot controllers: MC610s presence per physical slot (e.g. 11010000), "
                      "MC620Ws card codes (e.g. 193)");
  sim_cmd->callback([&] { rc = cli::sim(sim); });

  int bench_channels = 0, bench_rate = 30000;
  double bench_seconds = 5;
  auto* bench = app.add_subcommand("bench", "sustained scan rate and CPU cost");
  bench->add_option("address", address, kAddressHelp)->required();
  bench->add_option("--channels", bench_channels, "channels (default: every input)")
      ->check(CLI::Range(1, 128));
  bench->add_option("--rate", bench_rate, "samples per second per channel")
      ->check(CLI::Range(1, 10000000));
  bench->add_option("--seconds", bench_seconds, "how long")->check(CLI::Range(0.1, 3600.0));
  bench->callback([&] { rc = cli::bench(address, bench_channels, bench_rate, bench_seconds); });

  int sd_index = -1;
  std::string sd_folder = ".";
  auto* sd = app.add_subcommand("sd", "list the SD card's recordings, or download one");
  sd->add_option("address", address, kAddressHelp)->required();
  auto* get = sd->add_option("--get", sd_index, "recording to download")->check(CLI::Range(0, 1 << 30));
  sd->add_option("--dir", sd_folder, "log root for the download")->needs(get);
  sd->callback([&] { rc = cli::sd(address, sd_index, sd_folder); });

  auto* send = app.add_subcommand("send", "one raw command exchange");
  send->add_option("address", address, kAddressHelp)->required();
  send->add_option("command", text, "command text without CR")->required();
  send->callback([&] { rc = cli::send(address, text); });

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) return app.exit(e);  // --help, --version
    fmt::print(stderr, "korvel: {}\nRun with --help for more information.\n", e.what());
    return cli::kUsage;
  }
  return rc;
}
