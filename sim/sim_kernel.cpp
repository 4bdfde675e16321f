// The simulated kernel follows mtdchar and the NAND core in what it checks and in which errno
// it answers, so that the flash layers meet the same refusals they meet on the board.
#include "sim_kernel.h"

#include <errno.h>
#include <fcntl.h>
#include <mtd/mtd-user.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <set>

namespace sim {

namespace {

const char kSysfs[] = "/sys/class/mtd";
const char kProcMtd[] = "/proc/mtd";

Kernel* g_current = nullptr;

std::string normalize(const char* path) {
  std::string out;
  if (!path) return out;
  for (const char* p = path; *p; p++) {
    if (*p == '/' && !out.empty() && out.back() == '/') continue;
    out += *p;
  }
  while (out.size() > 1 && out.back() == '/') out.pop_back();
  return out;
}

bool under(const std::string& path, const std::string& root) {
  return path == root ||
         (path.size() > root.size() && path.compare(0, root.size(), root) == 0 && path[root.size()] == '/');
}

// One number in the printf format f, which has exactly one conversion of it; 64 bytes hold any.
std::string fmt(const char* f, unsigned long long v) {
  char buf[64];
  snprintf(buf, sizeof buf, f, v);
  return buf;
}

struct TypeInfo {
  const char* name;
  uint8_t code;
  uint32_t flags;
};
const TypeInfo kTypes[] = {
    {"absent", MTD_ABSENT, 0},
    {"ram", MTD_RAM, MTD_CAP_RAM},
    {"rom", MTD_ROM, MTD_CAP_ROM},
    {"nor", MTD_NORFLASH, MTD_CAP_NORFLASH},
    {"nand", MTD_NANDFLASH, MTD_CAP_NANDFLASH},
    {"dataflash", MTD_DATAFLASH, MTD_CAP_NORFLASH},
    {"ubi", MTD_UBIVOLUME, MTD_CAP_RAM},
    {"mlc-nand", MTD_MLCNANDFLASH, MTD_CAP_NANDFLASH},
};

}  // namespace

struct Kernel::Impl {
  struct Mtd {
    int num;
    Chip* chip;
    std::string name, type;
    uint64_t offset, size;
    uint8_t type_code;
    uint32_t flags;
  };
  struct Node {  // character node
    int major, minor, mtd;
    bool ro;
  };
  struct Block {
    Chip* chip;
    uint64_t offset, size;
    int minor;
  };
  enum Kind { kMissing, kPass, kFile, kDir, kChar, kBlock };
  struct Res {
    Kind kind = kPass;
    std::string contents;
    Node node{};
    Block block{};
  };
  struct Fd {
    std::string path;
    Kind kind;
    int acc;
    uint64_t pos = 0;
    std::string contents;  // regular files: the text as it was at open time
    Node node{};
    Block block{};
    int file_mode = MTD_FILE_MODE_NORMAL;
  };
  struct Dir {
    std::string path;
    std::vector<std::string> names;
    size_t next = 0;
  };
  struct Fail {
    int err;
    int times;
  };

  Kernel* k;
  Kernel* previous_current = nullptr;
  int devnull = -1;
  std::map<int, Mtd> mtds;
  std::map<std::string, Node> nodes;
  std::map<std::string, Block> blocks;
  std::map<std::string, std::string> files;
  std::set<std::string> removed;
  std::map<std::string, int> read_faults, close_faults, readdir_faults, closedir_faults;
  std::map<std::string, Fail> open_faults;
  std::map<unsigned long, Fail> ioctl_faults;
  std::map<int, Fd> fds;
  std::map<int, std::string> pass_fds;
  std::map<kernel_dir*, Dir*> dirs;
  std::map<kernel_dir*, std::string> pass_dirs;

  explicit Impl(Kernel* kernel) : k(kernel) { devnull = ::open("/dev/null", O_RDWR | O_CLOEXEC); }
  ~Impl() {
    for (auto& f : fds) ::close(f.first);
    for (auto& d : dirs) delete d.second;
    if (devnull >= 0) ::close(devnull);
  }

  void record(const char* op, const std::string& path, bool simulated, unsigned long request = 0,
              uint64_t offset = 0, uint64_t length = 0) {
    Call c;
    c.op = op;
    c.path = path;
    c.request = request;
    c.simulated = simulated;
    c.offset = offset;
    c.length = length;
    k->calls_.push_back(std::move(c));
  }

  static int fail(int err) {
    errno = err;
    return -1;
  }

  static bool take(std::map<std::string, Fail>& m, const std::string& key, int* err) {
    auto it = m.find(key);
    if (it == m.end()) return false;
    *err = it->second.err;
    if (it->second.times > 0 && --it->second.times == 0) m.erase(it);
    return true;
  }

  bool is_removed(const std::string& path) const {
    for (const std::string& r : removed)
      if (under(path, r)) return true;
    return false;
  }

  // Paths the simulated kernel answers for, whether or not they exist: /sys/class/mtd and all
  // below it, "/proc/mtd" and the MTD device nodes never reach the host's own.
  static bool owned(const std::string& path) {
    return under(path, kSysfs) || path == kProcMtd || path.compare(0, 8, "/dev/mtd") == 0;
  }

  std::string proc_text() const {
    std::string s = "dev:    size   erasesize  name\n";
    // The name goes in whole, however long: the parsers of this text must meet long names.
    for (auto& m : mtds)
      s += "mtd" + std::to_string(m.first) + ": " + fmt("%08llx", m.second.size) + " " +
           fmt("%08llx", m.second.chip->geometry().eb_size) + " \"" + m.second.name + "\"\n";
    return s;
  }

  // Every generated file (contents) and directory (no value) of sysfs and "/proc/mtd". Made
  // again only when what they show changed (devices, erase regions, ECC counters): every sysfs
  // lookup asks for them, and making them each time cost most of a sanitized run's time.
  struct Generated {
    std::map<std::string, std::string> files;
    std::set<std::string> dirs;
    std::map<std::string, std::vector<std::string>> lists;  // directory listings, made when first read
  };
  mutable Generated gen_;
  mutable std::vector<uint64_t> gen_key_;
  uint64_t mtd_changes = 0;  // calls that add or remove paths, so that a replaced device is seen
  const Generated& generated() const {
    std::vector<uint64_t> key = {mtd_changes, k->erase_regions.size()};
    for (auto& e : mtds) {
      const Chip& c = *e.second.chip;
      key.insert(key.end(), {c.ecc_failed, c.ecc_corrected, c.ecc_badblocks, c.ecc_bbtblocks});
    }
    if (key == gen_key_) return gen_;
    gen_ = Generated();
    generate(gen_.files, gen_.dirs);
    gen_key_ = key;
    return gen_;
  }
  void generate(std::map<std::string, std::string>& gen_files, std::set<std::string>& gen_dirs) const {
    gen_files[kProcMtd] = proc_text();
    gen_dirs.insert(kSysfs);
    for (auto& e : mtds) {
      const Mtd& m = e.second;
      const Geometry& g = m.chip->geometry();
      std::string d = std::string(kSysfs) + "/mtd" + std::to_string(m.num);
      gen_dirs.insert(d);
      gen_files[d + "/dev"] = "90:" + std::to_string(2 * m.num) + "\n";
      gen_files[d + "/name"] = m.name + "\n";
      gen_files[d + "/type"] = m.type + "\n";
      gen_files[d + "/erasesize"] = fmt("%llu\n", g.eb_size);
      gen_files[d + "/size"] = fmt("%llu\n", m.size);
      gen_files[d + "/writesize"] = fmt("%llu\n", g.page_size);
      gen_files[d + "/subpagesize"] = fmt("%llu\n", g.subpage_size);
      gen_files[d + "/oobsize"] = fmt("%llu\n", g.oob_size);
      gen_files[d + "/numeraseregions"] = fmt("%llu\n", k->erase_regions.size());
      gen_files[d + "/flags"] = fmt("0x%llx\n", m.flags);
      gen_files[d + "/offset"] = fmt("%llu\n", m.offset);
      gen_files[d + "/ecc_failures"] = fmt("%llu\n", m.chip->ecc_failed);
      gen_files[d + "/corrected_bits"] = fmt("%llu\n", m.chip->ecc_corrected);
      gen_files[d + "/bad_blocks"] = fmt("%llu\n", m.chip->ecc_badblocks);
      gen_files[d + "/bbt_blocks"] = fmt("%llu\n", m.chip->ecc_bbtblocks);
      std::string ro = d + "ro";
      gen_dirs.insert(ro);
      gen_files[ro + "/dev"] = "90:" + std::to_string(2 * m.num + 1) + "\n";
    }
  }

  Res resolve(const std::string& p) const {
    Res r;
    r.kind = kPass;
    if (is_removed(p)) {
      r.kind = kMissing;
    } else if (files.count(p)) {
      r.kind = kFile;
      r.contents = files.at(p);
    } else if (nodes.count(p)) {
      r.kind = kChar;
      r.node = nodes.at(p);
    } else if (blocks.count(p)) {
      r.kind = kBlock;
      r.block = blocks.at(p);
    } else if (owned(p)) {
      resolve_generated(p, &r);
    }
    return r;
  }

  // A path the simulated kernel owns that was not set by hand: a generated file or directory,
  // or nothing.
  void resolve_generated(const std::string& p, Res* r) const {
    const Generated& gen = generated();
    auto g = gen.files.find(p);
    if (g != gen.files.end()) {
      r->kind = kFile;
      r->contents = g->second;
      return;
    }
    bool dir = gen.dirs.count(p) > 0;
    // A file set below sysfs makes its directories exist.
    for (auto it = files.lower_bound(p + "/"); !dir && it != files.end() && under(it->first, p); ++it)
      dir = under(p, kSysfs) && !is_removed(it->first);
    r->kind = dir ? kDir : kMissing;
  }

  std::vector<std::string> list(const std::string& d) const {
    // libmtd lists the sysfs class directory on every open: made again only after a change.
    const Generated& gen = generated();
    auto cached = gen.lists.find(d);
    if (cached != gen.lists.end()) return cached->second;
    std::set<std::string> names;
    auto add = [&](const std::string& path) {
      if (path.size() > d.size() + 1 && under(path, d) && !is_removed(path)) {
        std::string rest = path.substr(d.size() + 1);
        names.insert(rest.substr(0, rest.find('/')));
      }
    };
    for (auto& e : gen.files) add(e.first);
    for (auto& e : gen.dirs) add(e);
    for (auto& e : files) add(e.first);
    for (auto& e : nodes) add(e.first);
    for (auto& e : blocks) add(e.first);
    std::vector<std::string> out = {".", ".."};
    out.insert(out.end(), names.begin(), names.end());
    return gen_.lists[d] = out;
  }

  // sysfs attributes report one page and "/proc" files nothing, whatever they hold; only
  // files set elsewhere have their real length, as they stand for ordinary files.
  static void fill_stat(const std::string& path, const Res& r, struct stat* st) {
    memset(st, 0, sizeof *st);
    st->st_nlink = 1;
    st->st_blksize = 4096;
    st->st_dev = makedev(0, 5);
    switch (r.kind) {
      case kFile:
        st->st_mode = S_IFREG | 0444;
        if (under(path, kSysfs))
          st->st_size = 4096;
        else if (under(path, "/proc"))
          st->st_size = 0;
        else
          st->st_size = static_cast<off_t>(r.contents.size());
        break;
      case kDir:
        st->st_mode = S_IFDIR | 0755;
        st->st_nlink = 2;
        break;
      case kChar:
        st->st_mode = S_IFCHR | 0660;
        st->st_rdev = makedev(r.node.major, r.node.minor);
        break;
      case kBlock:
        st->st_mode = S_IFBLK | 0660;
        st->st_rdev = makedev(31, r.block.minor);
        break;
      default:
        break;
    }
  }

  // Chip address of a device address. A view larger than its chip wraps around, as a chip
  // whose upper address lines are not connected repeats itself.
  static uint64_t phys(const Mtd& m, uint64_t a) { return (m.offset + a) % m.chip->geometry().size; }
  // How many bytes from device address a can be handled in one piece on the chip.
  static uint64_t run(const Mtd& m, uint64_t a, uint64_t n) {
    return std::min<uint64_t>(n, m.chip->geometry().size - phys(m, a));
  }

  const Mtd* mtd_of(const Fd& f) const {
    auto it = mtds.find(f.node.mtd);
    return it == mtds.end() ? nullptr : &it->second;
  }

  // ---- boundary calls ----

  int open(const char* path, int flags, mode_t mode) {
    std::string p = normalize(path);
    Res r = resolve(p);
    if (r.kind == kPass) {
      record("open", p, false);
      int fd = ::open(path, flags, mode);
      if (fd >= 0) pass_fds[fd] = p;
      return fd;
    }
    record("open", p, true);
    int err = 0;
    if (take(open_faults, p, &err)) return fail(err);
    err = open_refusal(r, flags);
    if (err) return fail(err);
    int fd = ::fcntl(devnull, F_DUPFD_CLOEXEC, 3);
    if (fd < 0) return -1;
    Fd f;
    f.path = p;
    f.kind = r.kind;
    f.acc = flags & O_ACCMODE;
    f.contents = r.contents;
    f.node = r.node;
    f.block = r.block;
    fds[fd] = f;
    return fd;
  }

  // The errno open() of a simulated path answers with those flags, or 0.
  int open_refusal(const Res& r, int flags) const {
    int acc = flags & O_ACCMODE;
    switch (r.kind) {
      case kMissing:
        return ENOENT;
      case kFile:
        if (flags & O_DIRECTORY) return ENOTDIR;
        return acc != O_RDONLY || (flags & O_TRUNC) ? EACCES : 0;
      case kDir:
        return acc != O_RDONLY ? EISDIR : 0;
      case kChar:
        if (flags & O_DIRECTORY) return ENOTDIR;
        if (r.node.mtd < 0 || !mtds.count(r.node.mtd)) return ENXIO;
        if (r.node.ro && acc != O_RDONLY) return EACCES;
        if (acc != O_RDONLY && !(mtds.at(r.node.mtd).flags & MTD_WRITEABLE)) return EACCES;
        return 0;
      case kBlock:
        return flags & O_DIRECTORY ? ENOTDIR : 0;
      default:
        return 0;
    }
  }

  int close(int fd) {
    auto it = fds.find(fd);
    if (it == fds.end()) {
      auto p = pass_fds.find(fd);
      record("close", p == pass_fds.end() ? std::string() : p->second, false);
      if (p != pass_fds.end()) pass_fds.erase(p);
      return ::close(fd);
    }
    std::string path = it->second.path;
    record("close", path, true);
    fds.erase(it);
    ::close(fd);
    // Like Linux, the descriptor is gone even when close reports an error.
    auto cf = close_faults.find(path);
    if (cf != close_faults.end()) return fail(cf->second);
    return 0;
  }

  ssize_t read(int fd, void* buf, size_t len) {
    auto it = fds.find(fd);
    if (it == fds.end()) {
      auto p = pass_fds.find(fd);
      record("read", p == pass_fds.end() ? std::string() : p->second, false, 0, 0, len);
      return ::read(fd, buf, len);
    }
    Fd& f = it->second;
    record("read", f.path, true, 0, f.pos, len);
    auto rf = read_faults.find(f.path);
    if (rf != read_faults.end()) return fail(rf->second);
    if (f.acc == O_WRONLY) return fail(EBADF);
    if (len > 0 && !buf) return fail(EFAULT);
    switch (f.kind) {
      case kFile: {
        if (f.pos >= f.contents.size()) return 0;
        size_t n = std::min<uint64_t>(len, f.contents.size() - f.pos);
        memcpy(buf, f.contents.data() + f.pos, n);
        f.pos += n;
        return static_cast<ssize_t>(n);
      }
      case kDir:
        return fail(EISDIR);
      case kChar:
        return read_mtd(f, static_cast<uint8_t*>(buf), len);
      case kBlock:
        return read_block(f, static_cast<uint8_t*>(buf), len);
      default:
        return fail(EBADF);
    }
  }

  ssize_t read_mtd(Fd& f, uint8_t* buf, size_t len) {
    const Mtd* m = mtd_of(f);
    if (!m) return fail(ENXIO);
    if (f.pos >= m->size) return 0;
    size_t n = std::min<uint64_t>(len, m->size - f.pos);
    if (n == 0) return 0;
    // Injected bitflips only move the ECC counters, and mtdchar hands the data back with them;
    // a page left by an interrupted program fails the read with the chip's EBADMSG. Raw mode
    // reads around the ECC engine, so nothing is counted and nothing fails but a dead chip.
    if (f.file_mode == MTD_FILE_MODE_RAW && m->chip->cut()) return fail(EIO);
    for (uint64_t done = 0; done < n;) {
      uint64_t a = f.pos + done, piece = run(*m, a, n - done);
      if (f.file_mode == MTD_FILE_MODE_RAW)
        memcpy(buf + done, m->chip->data(phys(*m, a)), piece);
      else if (int rc = m->chip->read(phys(*m, a), buf + done, piece))
        return fail(-rc);
      done += piece;
    }
    f.pos += n;
    return static_cast<ssize_t>(n);
  }

  ssize_t read_block(Fd& f, uint8_t* buf, size_t len) {
    if (f.pos >= f.block.size) return 0;
    size_t n = std::min<uint64_t>(len, f.block.size - f.pos);
    if (n == 0) return 0;
    if (int rc = f.block.chip->read(f.block.offset + f.pos, buf, n)) return fail(-rc);
    f.pos += n;
    return static_cast<ssize_t>(n);
  }

  ssize_t write(int fd, const void* buf, size_t len) {
    auto it = fds.find(fd);
    if (it == fds.end()) {
      auto p = pass_fds.find(fd);
      record("write", p == pass_fds.end() ? std::string() : p->second, false, 0, 0, len);
      return ::write(fd, buf, len);
    }
    Fd& f = it->second;
    record("write", f.path, true, 0, f.pos, len);
    if (f.acc == O_RDONLY) return fail(EBADF);
    if (len > 0 && !buf) return fail(EFAULT);
    switch (f.kind) {
      case kChar:
        return write_mtd(f, static_cast<const uint8_t*>(buf), len);
      case kBlock:
        return write_block(f, static_cast<const uint8_t*>(buf), len);
      case kDir:
        return fail(EISDIR);
      default:
        return fail(EBADF);
    }
  }

  ssize_t write_mtd(Fd& f, const uint8_t* buf, size_t len) {
    const Mtd* m = mtd_of(f);
    if (!m) return fail(ENXIO);
    if (len == 0) return 0;
    if (f.pos == m->size) return fail(ENOSPC);
    if (!(m->flags & MTD_WRITEABLE)) return fail(EROFS);
    size_t n = std::min<uint64_t>(len, m->size - f.pos);
    uint32_t sub = m->chip->geometry().subpage_size;
    if (phys(*m, f.pos) % sub || n % sub) return fail(EINVAL);
    // Pages before a failing one stay programmed and the position does not move, as the
    // whole write is one mtd_write in mtdchar.
    for (uint64_t done = 0; done < n;) {
      uint64_t a = f.pos + done, piece = run(*m, a, n - done);
      if (int rc = m->chip->program(phys(*m, a), buf + done, piece)) return fail(-rc);
      done += piece;
    }
    f.pos += n;
    return static_cast<ssize_t>(n);
  }

  // mtdblock erases and rewrites behind the scenes; the net effect is a plain overwrite.
  ssize_t write_block(Fd& f, const uint8_t* buf, size_t len) {
    if (len == 0) return 0;
    if (f.pos >= f.block.size) return fail(ENOSPC);
    if (f.block.chip->cut()) return fail(EIO);
    size_t n = std::min<uint64_t>(len, f.block.size - f.pos);
    memcpy(f.block.chip->data(f.block.offset + f.pos), buf, n);
    f.pos += n;
    return static_cast<ssize_t>(n);
  }

  off_t lseek(int fd, off_t offset, int whence) {
    auto it = fds.find(fd);
    if (it == fds.end()) {
      auto p = pass_fds.find(fd);
      off_t r = ::lseek(fd, offset, whence);
      int saved = errno;
      record("lseek", p == pass_fds.end() ? std::string() : p->second, false, 0, static_cast<uint64_t>(r));
      errno = saved;
      return r;
    }
    Fd& f = it->second;
    const long long end = end_of(f);
    // Regular files may be sought past their end; devices may not.
    const bool bounded = f.kind != kFile;
    long long base;
    switch (whence) {
      case SEEK_SET:
        base = 0;
        break;
      case SEEK_CUR:
        base = static_cast<long long>(f.pos);
        break;
      case SEEK_END:
        base = end;
        break;
      default:
        record("lseek", f.path, true);
        return fail(EINVAL);
    }
    long long np = base + static_cast<long long>(offset);
    record("lseek", f.path, true, 0, static_cast<uint64_t>(np));
    // mtdchar and block devices refuse positions outside the device.
    if (np < 0 || (bounded && np > end)) return fail(EINVAL);
    f.pos = static_cast<uint64_t>(np);
    return static_cast<off_t>(np);
  }

  // The size of what fd is open on: the bytes of a file, the length of a device.
  long long end_of(const Fd& f) const {
    switch (f.kind) {
      case kFile:
        return static_cast<long long>(f.contents.size());
      case kChar: {
        const Mtd* m = mtd_of(f);
        return m ? static_cast<long long>(m->size) : 0;
      }
      case kBlock:
        return static_cast<long long>(f.block.size);
      default:
        return 0;
    }
  }

  int stat(const char* path, struct stat* st) {
    std::string p = normalize(path);
    Res r = resolve(p);
    if (r.kind == kPass) {
      record("stat", p, false);
      return ::stat(path, st);
    }
    record("stat", p, true);
    if (r.kind == kMissing) return fail(ENOENT);
    fill_stat(p, r, st);
    return 0;
  }

  int fstat(int fd, struct stat* st) {
    auto it = fds.find(fd);
    if (it == fds.end()) {
      auto p = pass_fds.find(fd);
      record("fstat", p == pass_fds.end() ? std::string() : p->second, false);
      return ::fstat(fd, st);
    }
    const Fd& f = it->second;
    record("fstat", f.path, true);
    Res r;
    r.kind = f.kind;
    r.contents = f.contents;
    r.node = f.node;
    r.block = f.block;
    fill_stat(f.path, r, st);
    return 0;
  }

  kernel_dir* opendir(const char* path) {
    std::string p = normalize(path);
    Res r = resolve(p);
    if (r.kind == kPass) {
      record("opendir", p, false);
      kernel_dir* d = kernel_glibc()->opendir(path);
      if (d) pass_dirs[d] = p;
      return d;
    }
    record("opendir", p, true);
    int err = 0;
    if (take(open_faults, p, &err)) {
      errno = err;
      return nullptr;
    }
    if (r.kind == kMissing) {
      errno = ENOENT;
      return nullptr;
    }
    if (r.kind != kDir) {
      errno = ENOTDIR;
      return nullptr;
    }
    Dir* d = new Dir;
    d->path = p;
    d->names = list(p);
    kernel_dir* h = reinterpret_cast<kernel_dir*>(d);
    dirs[h] = d;
    return h;
  }

  const char* readdir(kernel_dir* h) {
    auto it = dirs.find(h);
    if (it == dirs.end()) {
      auto p = pass_dirs.find(h);
      record("readdir", p == pass_dirs.end() ? std::string() : p->second, false);
      return kernel_glibc()->readdir(h);
    }
    Dir* d = it->second;
    record("readdir", d->path, true);
    auto rf = readdir_faults.find(d->path);
    if (rf != readdir_faults.end()) {
      errno = rf->second;
      return nullptr;
    }
    if (d->next >= d->names.size()) return nullptr;
    return d->names[d->next++].c_str();
  }

  int closedir(kernel_dir* h) {
    auto it = dirs.find(h);
    if (it == dirs.end()) {
      auto p = pass_dirs.find(h);
      record("closedir", p == pass_dirs.end() ? std::string() : p->second, false);
      if (p != pass_dirs.end()) pass_dirs.erase(p);
      return kernel_glibc()->closedir(h);
    }
    std::string path = it->second->path;
    record("closedir", path, true);
    delete it->second;
    dirs.erase(it);
    auto cf = closedir_faults.find(path);
    if (cf != closedir_faults.end()) return fail(cf->second);
    return 0;
  }

  int isatty(int fd) {
    auto it = fds.find(fd);
    if (it == fds.end()) {
      auto p = pass_fds.find(fd);
      record("isatty", p == pass_fds.end() ? std::string() : p->second, false);
      return ::isatty(fd);
    }
    record("isatty", it->second.path, true);
    errno = ENOTTY;
    return 0;
  }

  // ---- ioctls ----

  int ioctl(int fd, unsigned long req, void* arg) {
    auto it = fds.find(fd);
    if (it == fds.end()) {
      auto p = pass_fds.find(fd);
      record("ioctl", p == pass_fds.end() ? std::string() : p->second, false, req);
      return kernel_glibc()->ioctl(fd, req, arg);
    }
    Fd& f = it->second;
    size_t at = k->calls_.size();
    record("ioctl", f.path, true, req);
    auto ifault = ioctl_faults.find(req);
    if (ifault != ioctl_faults.end()) {
      int err = ifault->second.err;
      if (ifault->second.times > 0 && --ifault->second.times == 0) ioctl_faults.erase(ifault);
      return fail(err);
    }
    if (f.kind != kChar) return fail(ENOTTY);
    const Mtd* m = mtd_of(f);
    if (!m) return fail(ENXIO);
    return mtd_ioctl(f, *m, req, arg, k->calls_[at]);
  }

  int mtd_ioctl(Fd& f, const Mtd& m, unsigned long req, void* arg, Call& call) {
    switch (req) {
      case MEMGETINFO:
        return get_info(m, arg);
      case MEMERASE:
      case MEMERASE64:
        return erase_req(f, m, req, arg, call);
      case MEMGETBADBLOCK:
      case MEMSETBADBLOCK:
        return bad_block_req(f, m, req, arg, call);
      case MEMREADOOB:
      case MEMWRITEOOB:
        return oob_req(f, m, req == MEMWRITEOOB, arg, call);
      case MEMREADOOB64:
      case MEMWRITEOOB64:
        return oob64_req(f, m, req == MEMWRITEOOB64, arg, call);
      case MEMWRITE:
        return memwrite_req(f, m, arg, call);
      case MEMGETOOBSEL:
        return get_oobsel(m, arg);
      case MTDFILEMODE:
        return set_file_mode(f, reinterpret_cast<uintptr_t>(arg));
      case ECCGETSTATS:
        return get_ecc_stats(m, arg);
      case MEMLOCK:
      case MEMUNLOCK:
      case MEMISLOCKED:
        return lock_req(f, m, req, arg, call);
      case MEMGETREGIONCOUNT: {
        if (!arg) return fail(EFAULT);
        int n = static_cast<int>(k->erase_regions.size());
        memcpy(arg, &n, sizeof n);
        return 0;
      }
      case MEMGETREGIONINFO:
        return region_info(arg);
      default:
        return fail(ENOTTY);
    }
  }

  static bool writeable(const Mtd& m) { return (m.flags & MTD_WRITEABLE) != 0; }
  // mtdchar asks for a descriptor open for writing before anything that changes the flash.
  static bool for_writing(const Fd& f) { return f.acc != O_RDONLY; }

  int get_info(const Mtd& m, void* arg) const {
    if (!arg) return fail(EFAULT);
    const Geometry& g = m.chip->geometry();
    mtd_info_user info;
    memset(&info, 0, sizeof info);
    info.type = m.type_code;
    info.flags = m.flags;
    info.size = static_cast<uint32_t>(m.size);
    info.erasesize = g.eb_size;
    info.writesize = g.page_size;
    info.oobsize = g.oob_size;
    if (k->fake_memgetinfo) info = k->memgetinfo_answer;
    memcpy(arg, &info, sizeof info);
    return 0;
  }

  int erase_req(const Fd& f, const Mtd& m, unsigned long req, void* arg, Call& call) {
    if (req == MEMERASE64 && !k->has_memerase64) return fail(ENOTTY);
    if (!arg) return fail(EFAULT);
    uint64_t start, len;
    if (req == MEMERASE) {
      erase_info_user e;
      memcpy(&e, arg, sizeof e);
      start = e.start;
      len = e.length;
    } else {
      erase_info_user64 e;
      memcpy(&e, arg, sizeof e);
      start = e.start;
      len = e.length;
    }
    call.offset = start;
    call.length = len;
    const uint32_t eb_size = m.chip->geometry().eb_size;
    if (!for_writing(f)) return fail(EPERM);
    if (start >= m.size || len > m.size - start) return fail(EINVAL);
    if (!writeable(m)) return fail(EROFS);
    if (len == 0) return 0;
    if (phys(m, start) % eb_size || len % eb_size) return fail(EINVAL);
    for (uint64_t a = start; a < start + len; a += eb_size)
      if (int rc = m.chip->erase(static_cast<uint32_t>(phys(m, a) / eb_size))) return fail(-rc);
    return 0;
  }

  int bad_block_req(const Fd& f, const Mtd& m, unsigned long req, void* arg, Call& call) {
    if (!arg) return fail(EFAULT);
    Chip& c = *m.chip;
    int64_t offs;
    memcpy(&offs, arg, sizeof offs);
    call.offset = static_cast<uint64_t>(offs);
    if (!c.bb_supported) return fail(EOPNOTSUPP);
    if (offs < 0 || static_cast<uint64_t>(offs) >= m.size) return fail(EINVAL);
    if (c.cut()) return fail(EIO);  // the table is read from, and marks written to, the chip
    uint32_t eb = static_cast<uint32_t>(phys(m, static_cast<uint64_t>(offs)) / c.geometry().eb_size);
    if (req == MEMGETBADBLOCK) return c.is_bad(eb) ? 1 : 0;
    if (!for_writing(f)) return fail(EPERM);
    if (!writeable(m)) return fail(EROFS);
    c.mark_bad(eb);
    // The kernel keeps the mark in its table and also writes it into the block's first page, so
    // a page that refuses programs fails the request although the block is bad from now on.
    if (int rc = c.take_program_fault(uint64_t{eb} * c.pages_per_block())) return fail(-rc);
    return 0;
  }

  int oob_req(const Fd& f, const Mtd& m, bool write, void* arg, Call& call) {
    if (!arg) return fail(EFAULT);
    mtd_oob_buf b;
    memcpy(&b, arg, sizeof b);
    int rc = oob_op(f, m, write, b.start, b.length, b.ptr, call);
    // mtdchar reports the bytes transferred through the length field.
    if (rc == 0) memcpy(static_cast<char*>(arg) + offsetof(mtd_oob_buf, length), &b.length, sizeof b.length);
    return rc;
  }

  int oob64_req(const Fd& f, const Mtd& m, bool write, void* arg, Call& call) {
    if (!k->has_oob64) return fail(ENOTTY);
    if (k->oob64_errno) return fail(k->oob64_errno);
    if (!arg) return fail(EFAULT);
    mtd_oob_buf64 b;
    memcpy(&b, arg, sizeof b);
    int rc = oob_op(f, m, write, b.start, b.length,
                    reinterpret_cast<unsigned char*>(static_cast<uintptr_t>(b.usr_ptr)), call);
    if (rc == 0)
      memcpy(static_cast<char*>(arg) + offsetof(mtd_oob_buf64, length), &b.length, sizeof b.length);
    return rc;
  }

  int memwrite_req(const Fd& f, const Mtd& m, void* arg, Call& call) {
    if (!k->has_memwrite) return fail(k->memwrite_errno);
    if (!arg) return fail(EFAULT);
    mtd_write_req w;
    memcpy(&w, arg, sizeof w);
    call.offset = w.start;
    call.length = w.usr_data ? w.len : 0;
    if (!for_writing(f)) return fail(EPERM);
    return mem_write(m, w);
  }

  int get_oobsel(const Mtd& m, void* arg) const {
    if (!k->has_oobsel) return fail(ENOTTY);
    if (!arg) return fail(EFAULT);
    const uint32_t oob_size = m.chip->geometry().oob_size;
    nand_oobinfo o;
    memset(&o, 0, sizeof o);
    o.useecc = k->oobsel_useecc;
    std::vector<bool> is_free(oob_size, false);
    for (size_t i = 0; i < k->oobsel_free.size() && i < 8; i++) {
      const uint32_t first = k->oobsel_free[i].first, len = k->oobsel_free[i].second;
      o.oobfree[i][0] = first;
      o.oobfree[i][1] = len;
      for (uint32_t j = 0; j < len; j++)
        if (first + j < oob_size) is_free[first + j] = true;
    }
    // ECC bytes: what is neither free nor the bad-block marker, at most 32 listed.
    for (uint32_t j = 2; j < oob_size && o.eccbytes < 32; j++)
      if (!is_free[j]) o.eccpos[o.eccbytes++] = j;
    memcpy(arg, &o, sizeof o);
    return 0;
  }

  int set_file_mode(Fd& f, uintptr_t mode) const {
    if (!k->has_mtdfilemode) return fail(ENOTTY);
    if (k->mtdfilemode_errno) return fail(k->mtdfilemode_errno);
    switch (mode) {
      case MTD_FILE_MODE_NORMAL:
      case MTD_FILE_MODE_RAW:
        f.file_mode = static_cast<int>(mode);
        return 0;
      case MTD_FILE_MODE_OTP_FACTORY:
      case MTD_FILE_MODE_OTP_USER:
        return fail(EOPNOTSUPP);  // this chip has no OTP area
      default:
        return fail(EINVAL);
    }
  }

  int get_ecc_stats(const Mtd& m, void* arg) const {
    if (!k->has_eccstats) return fail(ENOTTY);
    if (!arg) return fail(EFAULT);
    const Chip& c = *m.chip;
    mtd_ecc_stats s;
    s.corrected = c.ecc_corrected;
    s.failed = c.ecc_failed;
    s.badblocks = c.ecc_badblocks;
    s.bbtblocks = c.ecc_bbtblocks;
    memcpy(arg, &s, sizeof s);
    return 0;
  }

  // MEMLOCK/MEMUNLOCK set the lock bit of every block the range touches; MEMISLOCKED answers 1
  // only when all of them are locked.
  int lock_req(const Fd& f, const Mtd& m, unsigned long req, void* arg, Call& call) {
    if (!arg) return fail(EFAULT);
    Chip& c = *m.chip;
    const uint32_t eb_size = c.geometry().eb_size;
    erase_info_user e;
    memcpy(&e, arg, sizeof e);
    call.offset = e.start;
    call.length = e.length;
    if (req != MEMISLOCKED && !for_writing(f)) return fail(EPERM);
    if (e.start >= m.size || e.length > m.size - e.start) return fail(EINVAL);
    if (e.length == 0) return 0;
    if (c.cut()) return fail(EIO);
    uint64_t first = e.start / eb_size, last = (e.start + e.length - 1ull) / eb_size;
    bool all = true;
    for (uint64_t b = first; b <= last; b++) {
      uint32_t eb = static_cast<uint32_t>(phys(m, b * eb_size) / eb_size);
      if (req == MEMISLOCKED)
        all = all && c.is_locked(eb);
      else
        c.lock(eb, req == MEMLOCK);
    }
    return req == MEMISLOCKED ? (all ? 1 : 0) : 0;
  }

  int region_info(void* arg) const {
    if (!arg) return fail(EFAULT);
    region_info_user r;
    memcpy(&r, arg, sizeof r);
    if (r.regionindex >= k->erase_regions.size()) return fail(EINVAL);
    uint32_t index = r.regionindex;
    r = k->erase_regions[index];
    r.regionindex = index;
    memcpy(arg, &r, sizeof r);
    return 0;
  }

  // MEMREADOOB/MEMWRITEOOB and their 64-bit twins: start is a page address plus an offset
  // inside that page's OOB area. Reads of OOB never go through ECC, so no counters move.
  int oob_op(const Fd& f, const Mtd& m, bool write, uint64_t start, uint32_t& length, unsigned char* ptr,
             Call& call) {
    Chip& c = *m.chip;
    const Geometry& g = c.geometry();
    call.offset = start;
    call.length = length;
    if (write && f.acc == O_RDONLY) return fail(EPERM);
    if (length > 4096) return fail(EINVAL);
    uint32_t ooboffs = static_cast<uint32_t>(start & (g.page_size - 1));
    uint64_t page_addr = start - ooboffs;
    if (page_addr >= m.size) return fail(EINVAL);
    if (ooboffs > g.oob_size || length > g.oob_size - ooboffs) return fail(EINVAL);
    if (write && !(m.flags & MTD_WRITEABLE)) return fail(EROFS);
    if (length == 0) return 0;
    if (!ptr) return fail(EFAULT);
    uint64_t page = phys(m, page_addr) / g.page_size;
    int rc = write ? c.program_oob(page, ooboffs, ptr, length) : c.read_oob(page, ooboffs, ptr, length);
    if (rc) return fail(-rc);
    return 0;
  }

  // Places len caller bytes into the free OOB regions of an oob_size buffer (automatic
  // placement); returns the number placed.
  uint32_t auto_place(const uint8_t* src, uint32_t len, uint8_t* oob, uint32_t oob_size) const {
    uint32_t done = 0;
    for (size_t i = 0; i < k->oobsel_free.size() && i < 8 && done < len; i++) {
      uint32_t off = k->oobsel_free[i].first, n = k->oobsel_free[i].second;
      if (n == 0) break;
      for (uint32_t j = 0; j < n && done < len && off + j < oob_size; j++) oob[off + j] = src[done++];
    }
    return done;
  }

  uint32_t auto_avail(uint32_t oob_size) const {
    uint32_t n = 0;
    for (size_t i = 0; i < k->oobsel_free.size() && i < 8; i++) {
      if (k->oobsel_free[i].second == 0) break;
      uint32_t off = k->oobsel_free[i].first, len = k->oobsel_free[i].second;
      if (off < oob_size) n += std::min(len, oob_size - off);
    }
    return n;
  }

  // One MEMWRITE in flight: the caller's bytes still to program, and the OOB area of one page
  // that automatic placement fills.
  struct MemWrite {
    const uint8_t* data;
    const uint8_t* oob;
    uint64_t len, ooblen;
    bool auto_oob;
    uint32_t avail;  // caller OOB bytes one page takes
    std::vector<uint8_t> area;
  };

  // The OOB bytes of one page program made of n caller bytes (null when none): the bytes as
  // they are, or placed into the free regions of an otherwise 0xFF OOB area.
  const uint8_t* page_oob(MemWrite& mw, const uint8_t* src, uint32_t n, uint32_t* out_len) const {
    *out_len = n;
    if (n == 0) return nullptr;
    if (!mw.auto_oob) return src;
    std::fill(mw.area.begin(), mw.area.end(), 0xFF);
    auto_place(src, n, mw.area.data(), static_cast<uint32_t>(mw.area.size()));
    *out_len = static_cast<uint32_t>(mw.area.size());
    return mw.area.data();
  }

  // MEMWRITE: data and OOB of each page go to the chip as one page program.
  int mem_write(const Mtd& m, const mtd_write_req& w) {
    const Geometry& g = m.chip->geometry();
    MemWrite mw;
    mw.data = reinterpret_cast<const uint8_t*>(static_cast<uintptr_t>(w.usr_data));
    mw.oob = reinterpret_cast<const uint8_t*>(static_cast<uintptr_t>(w.usr_oob));
    mw.len = mw.data ? w.len : 0;
    mw.ooblen = mw.oob ? w.ooblen : 0;
    mw.auto_oob = w.mode == MTD_OPS_AUTO_OOB;
    mw.avail = mw.auto_oob ? auto_avail(g.oob_size) : g.oob_size;
    mw.area.assign(g.oob_size, 0xFF);
    if (w.mode > MTD_OPS_RAW) return fail(EINVAL);
    if (w.start > m.size || mw.len > m.size - w.start) return fail(EINVAL);
    if (mw.ooblen) {
      uint64_t pages_left = m.size / g.page_size - w.start / g.page_size;
      if (mw.ooblen > pages_left * mw.avail) return fail(EINVAL);
    }
    if (!writeable(m)) return fail(EROFS);
    if (mw.data) return mem_write_pages(m, w.start, mw);
    if (mw.ooblen == 0) return 0;
    if (w.start >= m.size) return fail(EINVAL);
    if (mw.ooblen > mw.avail) return fail(EINVAL);  // OOB alone covers one page
    uint32_t n;
    const uint8_t* o = page_oob(mw, mw.oob, static_cast<uint32_t>(mw.ooblen), &n);
    int rc = m.chip->program_page(phys(m, w.start) / g.page_size, 0, nullptr, 0, o, 0, n);
    return rc ? fail(-rc) : 0;
  }

  int mem_write_pages(const Mtd& m, uint64_t addr, MemWrite& mw) {
    const Geometry& g = m.chip->geometry();
    if (phys(m, addr) % g.subpage_size || mw.len % g.subpage_size) return fail(EINVAL);
    while (mw.len > 0) {
      uint64_t page = phys(m, addr) / g.page_size;
      uint32_t col = static_cast<uint32_t>(addr % g.page_size);
      uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(g.page_size - col, mw.len));
      uint32_t on = static_cast<uint32_t>(std::min<uint64_t>(mw.avail, mw.ooblen));
      uint32_t olen;
      const uint8_t* o = page_oob(mw, mw.oob, on, &olen);
      int rc = m.chip->program_page(page, col, mw.data, n, o, 0, olen);
      if (rc) return fail(-rc);
      addr += n;
      mw.data += n;
      mw.len -= n;
      if (on) {
        mw.oob += on;
        mw.ooblen -= on;
      }
    }
    return 0;
  }

  // The table installed behind the boundary: every entry forwards to the newest Kernel.
  static int s_open(const char* path, int flags, mode_t mode) {
    return g_current->impl_->open(path, flags, mode);
  }
  static int s_close(int fd) { return g_current->impl_->close(fd); }
  static ssize_t s_read(int fd, void* buf, size_t len) { return g_current->impl_->read(fd, buf, len); }
  static ssize_t s_write(int fd, const void* buf, size_t len) {
    return g_current->impl_->write(fd, buf, len);
  }
  static off_t s_lseek(int fd, off_t offset, int whence) {
    return g_current->impl_->lseek(fd, offset, whence);
  }
  static int s_ioctl(int fd, unsigned long request, void* arg) {
    return g_current->impl_->ioctl(fd, request, arg);
  }
  static int s_stat(const char* path, struct stat* st) { return g_current->impl_->stat(path, st); }
  static int s_fstat(int fd, struct stat* st) { return g_current->impl_->fstat(fd, st); }
  static kernel_dir* s_opendir(const char* path) { return g_current->impl_->opendir(path); }
  static const char* s_readdir(kernel_dir* dir) { return g_current->impl_->readdir(dir); }
  static int s_closedir(kernel_dir* dir) { return g_current->impl_->closedir(dir); }
  static int s_isatty(int fd) { return g_current->impl_->isatty(fd); }
  // The simulated chip holds every byte the moment it is programmed: nothing to flush.
  static void s_sync() {}
  static const kernel_ops ops;
};

const kernel_ops Kernel::Impl::ops = {
    s_open,  s_close,   s_read,    s_write,    s_lseek,  s_ioctl, s_stat,
    s_fstat, s_opendir, s_readdir, s_closedir, s_isatty, s_sync,
};

Kernel::Kernel() : impl_(new Impl(this)) {
  impl_->previous_current = g_current;
  g_current = this;
  previous_ = kernel_install(&Impl::ops);
}

Kernel::~Kernel() {
  kernel_install(previous_);
  g_current = impl_->previous_current;
}

void Kernel::add_mtd(int num, Chip* chip, const std::string& name, uint64_t offset, uint64_t size,
                     const std::string& type) {
  Impl::Mtd m;
  m.num = num;
  m.chip = chip;
  m.name = name;
  m.type = type;
  m.offset = offset;
  m.size = size ? size : chip->geometry().size - offset;
  m.type_code = 0xFF;
  m.flags = MTD_WRITEABLE;
  for (const auto& t : kTypes)
    if (type == t.name) {
      m.type_code = t.code;
      m.flags = t.flags;
    }
  if (m.type_code == 0xFF && !type.empty() && type.find_first_not_of("0123456789") == std::string::npos)
    m.type_code = static_cast<uint8_t>(atoi(type.c_str()));
  impl_->mtds[num] = m;
  ++impl_->mtd_changes;
  std::string node = "/dev/mtd" + std::to_string(num);
  impl_->nodes[node] = {90, 2 * num, num, false};
  impl_->nodes[node + "ro"] = {90, 2 * num + 1, num, true};
}

void Kernel::add_block(const std::string& path, Chip* chip, uint64_t offset, uint64_t size) {
  std::string p = normalize(path.c_str());
  size_t digits = p.find_last_not_of("0123456789");
  int minor = digits + 1 < p.size() ? atoi(p.c_str() + digits + 1) : 0;
  impl_->blocks[p] = {chip, offset, size, minor};
  ++impl_->mtd_changes;
}

void Kernel::add_node(const std::string& path, int major, int minor, int mtd_num) {
  impl_->nodes[normalize(path.c_str())] = {major, minor, mtd_num, (minor & 1) != 0 && major == 90};
  ++impl_->mtd_changes;
}

void Kernel::set_file(const std::string& path, const std::string& contents) {
  std::string p = normalize(path.c_str());
  impl_->files[p] = contents;
  impl_->removed.erase(p);
  ++impl_->mtd_changes;
}

void Kernel::remove_file(const std::string& path) {
  std::string p = normalize(path.c_str());
  impl_->files.erase(p);
  impl_->removed.insert(p);
  ++impl_->mtd_changes;
}

void Kernel::fail_reads(const std::string& path, int err) {
  impl_->read_faults[normalize(path.c_str())] = err;
}
void Kernel::fail_close(const std::string& path, int err) {
  impl_->close_faults[normalize(path.c_str())] = err;
}
void Kernel::fail_open(const std::string& path, int err, int times) {
  impl_->open_faults[normalize(path.c_str())] = {err, times};
}
void Kernel::fail_readdir(const std::string& path, int err) {
  impl_->readdir_faults[normalize(path.c_str())] = err;
}
void Kernel::fail_closedir(const std::string& path, int err) {
  impl_->closedir_faults[normalize(path.c_str())] = err;
}
void Kernel::fail_ioctl(unsigned long request, int err, int times) {
  if (times == 0)
    impl_->ioctl_faults.erase(request);
  else
    impl_->ioctl_faults[request] = {err, times};
}
void Kernel::no_sysfs() {
  impl_->removed.insert(kSysfs);
  ++impl_->mtd_changes;
}
void Kernel::no_proc_mtd() {
  impl_->removed.insert(kProcMtd);
  ++impl_->mtd_changes;
}
std::string Kernel::proc_mtd() const { return impl_->proc_text(); }
size_t Kernel::open_fds() const { return impl_->fds.size() + impl_->dirs.size(); }

size_t Kernel::count(const std::string& op) const {
  size_t n = 0;
  for (const Call& c : calls_) n += c.op == op;
  return n;
}

size_t Kernel::count_ioctl(unsigned long request) const {
  size_t n = 0;
  for (const Call& c : calls_) n += c.op == "ioctl" && c.request == request;
  return n;
}

size_t Kernel::count_sim() const {
  size_t n = 0;
  for (const Call& c : calls_) n += c.simulated;
  return n;
}

}  // namespace sim
