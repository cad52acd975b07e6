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
  char *End = nullptr;
  const unsigned long v = std::strtoul(Text, &End, 16);
  if (!End || *End || End == Text || v > 0xFFFF)
    return false;
  Value = static_cast<std::uint16_t>(v);
  return true;
}

} // namespace

int main(int argc, char **argv) {
  zol::TGadgetOptions Options;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool HasValue = i + 1 < argc;
    const char *Value = HasValue ? argv[i + 1] : "";
    bool Ok = true;
    if (a == "--help" || a == "-h") {
      std::fputs(Usage().c_str(), stdout);
      return 0;
    } else if (a == "--unplugged") {
      Options.StartUnplugged = true;
      continue;
    } else if (!HasValue) {
      Ok = false;
    } else if (a == "--name") {
      Options.Name = Value;
      Ok = !Options.Name.empty() && Options.Name.find('/') == std::string::npos;
    } else if (a == "--udc") {
      Options.Udc = Value;
    } else if (a == "--serial") {
      Options.Instrument.SerialNumber = Value;
    } else if (a == "--manufacturer") {
      Options.Instrument.Manufacturer = Value;
    } else if (a == "--product") {
      Options.Instrument.Product = Value;
    } else if (a == "--vid") {
      Ok = ParseHex16(Value, Options.VendorID);
    } else if (a == "--pid") {
      Ok = ParseHex16(Value, Options.ProductID);
    } else if (a == "--period") {
      const int Ms = std::atoi(Value);
      Ok = Ms >= 1 && Ms <= 1000;
      Options.Instrument.ReportPeriodMs = Ms;
    } else if (a == "--sim-fault") {
      zol::TSimFaultParse Fault = zol::ParseSimFault(Value, zol::TSimFaultUser::Gadget, -1);
      if (!Fault.Fault) {
        std::fprintf(stderr, "zolsim-gadget: --sim-fault: %s\n", Fault.Error.c_str());
        return 2;
      }
      if (Fault.Fault->Kind == zol::TSimFaultKind::Unplugged)
        Options.StartUnplugged = true;
      else if (Fault.Fault->Kind == zol::TSimFaultKind::Oversized)
        Options.Oversized = true;
      else
        Options.Faults.push_back(std::move(*Fault.Fault));
    } else if (a == "--sim-memory") {
      Options.Instrument.MemoryFile = Value;
    } else if (a == "--control") {
      Options.ControlPath = Value;
    } else if (a == "--stats") {
      Options.StatsPath = Value;
    } else {
      Ok = false;
    }
    if (!Ok) {
      std::fprintf(stderr, "zolsim-gadget: bad option %s %s\n%s", a.c_str(), Value,
                   Usage().c_str());
      return 2;
    }
    ++i;
  }

  zol::UsbGadget Gadget(Options);
  Running = &Gadget;
  struct sigaction Action {};
  Action.sa_handler = OnSignal;
  sigemptyset(&Action.sa_mask);
  for (const int Signal : {SIGINT, SIGTERM, SIGHUP})
    sigaction(Signal, &Action, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
  bool Ok = false;
  try {
    Ok = Gadget.Run();
  } catch (const std::exception &e) {
    // The gadget's destructor removes it from configfs on the way out.
    std::fprintf(stderr, "zolsim-gadget: %s\n", e.what());
    Running = nullptr;
    return 1;
  }
  Running = nullptr;
  if (!Ok) {
    std::fprintf(stderr, "zolsim-gadget: %s\n", Gadget.Error().c_str());
    return 1;
  }
  std::fputs(Gadget.Stats().Text().c_str(), stdout);
  return Signalled ? 128 + Signalled : 0;
}
