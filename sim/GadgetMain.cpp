// zolsim-gadget: the simulated RW8 as a genuine USB HID device, through the Linux USB gadget
// HID function (see sim/README.md).

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>

#include "sim/Gadget.h"

namespace {

zol::UsbGadget *Running = nullptr;
volatile std::sig_atomic_t Signalled = 0;

extern "C" void OnSignal(int Signal) {
  Signalled = Signal;
  if (Running)
    Running->Stop();
}

const char *const kUsage =
    "usage: zolsim-gadget [OPTIONS]\n"
    "  --name NAME         gadget name under /sys/kernel/config/usb_gadget (default rw8)\n"
    "  --udc UDC           USB device controller, e.g. dummy_udc.1 (default: the first listed)\n"
    "  --serial TEXT       serial number, 16 characters (default SIMRW80000000001)\n"
    "  --manufacturer TEXT --product TEXT   identity strings (default KOVA, RW8)\n"
    "  --vid HEX --pid HEX vendor and product id (default 0451 and 0023)\n"
    "  --period MS         report period, 1 to 1000 (default 10)\n"
    "  --sim-fault F       start with fault F (below); may be repeated\n"
    "  --sim-memory FILE   keep settings, password and history in FILE between runs\n"
    "  --control FIFO      make the named pipe FIFO (nothing may be there yet) taking requests,\n"
    "                      one per line: plug, unplug, period MS, fault F (below),\n"
    "                      stats, quit; removed at the end\n"
    "  --stats FILE        keep the counters (commands received ...) in FILE\n"
    "Needs root, configfs on /sys/kernel/config, libcomposite, usb_f_hid and a UDC (dummy_hcd).\n"
    "Ends on 'quit' (status 0), SIGINT, SIGTERM or SIGHUP (status 128 + the signal's number):\n"
    "unbinds and removes the gadget, prints the counters. A gadget of the same name that a\n"
    "killed zolsim-gadget left behind is removed at the next start.\n"
    "Faults:\n";

std::string Usage() {
  return kUsage + zol::SimFaultHelp(zol::TSimFaultUser::Gadget, 78) + "\n";
}

bool ParseHex16(const char *Text, std::uint16_t &Value) {
  char *end = nullptr;
  const unsigned long v = std::strtoul(Text, &end, 16);
  if (!end || *end || end == Text || v > 0xFFFF)
    return false;
  Value = static_cast<std::uint16_t>(v);
  return true;
}

} // namespace

int main(int argc, char **argv) {
  zol::TGadgetOptions options;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool hasValue = i + 1 < argc;
    const char *value = hasValue ? argv[i + 1] : "";
    bool ok = true;
    if (a == "--help" || a == "-h") {
      std::fputs(Usage().c_str(), stdout);
      return 0;
    } else if (a == "--unplugged") {
      options.StartUnplugged = true;
      continue;
    } else if (!hasValue) {
      ok = false;
    } else if (a == "--name") {
      options.Name = value;
      ok = !options.Name.empty() && options.Name.find('/') == std::string::npos;
    } else if (a == "--udc") {
      options.Udc = value;
    } else if (a == "--serial") {
      options.Instrument.SerialNumber = value;
    } else if (a == "--manufacturer") {
      options.Instrument.Manufacturer = value;
    } else if (a == "--product") {
      options.Instrument.Product = value;
    } else if (a == "--vid") {
      ok = ParseHex16(value, options.VendorID);
    } else if (a == "--pid") {
      ok = ParseHex16(value, options.ProductID);
    } else if (a == "--period") {
      const int ms = std::atoi(value);
      ok = ms >= 1 && ms <= 1000;
      options.Instrument.ReportPeriodMs = ms;
    } else if (a == "--sim-fault") {
      zol::TSimFaultParse fault = zol::ParseSimFault(value, zol::TSimFaultUser::Gadget, -1);
      if (!fault.Fault) {
        std::fprintf(stderr, "zolsim-gadget: --sim-fault: %s\n", fault.Error.c_str());
        return 2;
      }
      if (fault.Fault->Kind == zol::TSimFaultKind::Unplugged)
        options.StartUnplugged = true;
      else if (fault.Fault->Kind == zol::TSimFaultKind::Oversized)
        options.Oversized = true;
      else
        options.Faults.push_back(std::move(*fault.Fault));
    } else if (a == "--sim-memory") {
      options.Instrument.MemoryFile = value;
    } else if (a == "--control") {
      options.ControlPath = value;
    } else if (a == "--stats") {
      options.StatsPath = value;
    } else {
      ok = false;
    }
    if (!ok) {
      std::fprintf(stderr, "zolsim-gadget: bad option %s %s\n%s", a.c_str(), value,
                   Usage().c_str());
      return 2;
    }
    ++i;
  }

  zol::UsbGadget gadget(options);
  Running = &gadget;
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  for (const int signal : {SIGINT, SIGTERM, SIGHUP})
    sigaction(signal, &action, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
  bool ok = false;
  try {
    ok = gadget.Run();
  } catch (const std::exception &e) {
    // The gadget's destructor removes it from configfs on the way out.
    std::fprintf(stderr, "zolsim-gadget: %s\n", e.what());
    Running = nullptr;
    return 1;
  }
  Running = nullptr;
  if (!ok) {
    std::fprintf(stderr, "zolsim-gadget: %s\n", gadget.Error().c_str());
    return 1;
  }
  std::fputs(gadget.Stats().Text().c_str(), stdout);
  return Signalled ? 128 + Signalled : 0;
}
