#include "tools/vxdbf/locktest_command.h"

#include <CLI/CLI.hpp>
#include <ostream>
#include <vexel/locktest.hpp>

#include "tools/vxdbf/build_commands.h"
#include "tools/vxdbf/vxdbf.h"

namespace vx::tool {

namespace {

int Locktest(const Options& o, const Streams& io) {
  if (o.peer) {
    vexel::locktest_peer(o.file, io.in, io.out, o.simulate_broken_locks);
    return kExitOk;
  }
  vexel::LocktestOptions options;
  // The other side is this program again: `vxdbf locktest DIR --peer`.
  options.peer_arguments = {"locktest", o.file, "--peer"};
  if (o.simulate_broken_locks) options.peer_arguments.push_back("--simulate-broken-locks");
  options.started = [&io](const std::string& table) {
    io.out << "locktest: two vxdbf processes share " << table << "\n";
  };
  const vexel::LocktestReport report = vexel::locktest(o.file, options);
  for (const vexel::LocktestVerdict& v : report.verdicts) {
    std::string name = v.check + " ";
    name.resize(22, '.');
    io.out << name << " " << (v.passed ? "ok" : "FAILED") << ": " << v.detail << "\n";
  }
  if (report.passed()) {
    io.out << "Every check passed: the byte-range locks and writes of one program reach the "
              "other at once here.\n";
    return kExitOk;
  }
  io.out << "Tables shared in " << o.file
         << " are not safe: programs would overwrite each other's records and corrupt the "
            "index. What to change:\n"
            "  - Samba server: locking = yes, strict locking = yes, oplocks = no, level2 oplocks "
            "= no (or veto oplock files = /*.dbf/*.dbt/*.fpt/*.mdx/*.@S@/)\n"
            "  - Windows server: turn off opportunistic locks and leasing for the share (SMB2 "
            "leasing, EnableOplocks)\n"
            "  - Linux CIFS client: mount with cache=none (and without nobrl)\n"
            "  - NFS client: mount without nolock and with noac or lookupcache=none\n";
  return kExitCheckFailed;
}

}  // namespace

void RegisterLocktestCommand(Commands& commands) {
  Options& o = commands.options();
  CLI::App& locktest = commands.Add(
      {"locktest", "DIR                                 (share self-test, exit 4 on failure)",
       "Checks with a second vxdbf process that record locks, the append lock, the semaphore "
       "region and writes on a scratch table in DIR reach the other process at once, and says "
       "what to change on the share when they do not.",
       "vxdbf locktest /mnt/share/data", Locktest});
  locktest.add_option("DIR", o.file, "a folder on the share (a scratch table is made there)")
      ->required();
  // The helper's side, and a helper that places no locks (to see the failures reported).
  locktest.add_flag("--peer", o.peer)->group("");
  locktest.add_flag("--simulate-broken-locks", o.simulate_broken_locks)->group("");
}

}  // namespace vx::tool
