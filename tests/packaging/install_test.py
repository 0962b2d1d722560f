"""The program installed as a desktop program, and its Debian package.

  install_test.py <build folder> <source folder> <test>...

Tests:
  layout     cmake --install into a temporary DESTDIR: the program (with its
             crash settings and the crash report helper beside it) with its
             data files in lib/tolvex, the launcher, the menu entry (checked by
             desktop-file-validate) and the icons; nothing outside DESTDIR.
  run        the installed program started through its launcher with a fresh
             home: it seeds its settings folder from the installed Default
             files and languages, and its MAC lookup names a vendor from the
             installed vendors.db. Needs a display (xvfb-run) and a session
             bus (dbus-run-session): the lookup dialog is driven through the
             accessibility bus, the way a screen reader reaches it.
  package    cpack builds a .deb whose file list is the installed tree under
             /usr, with the launcher as a link and the computed dependencies.
"""
import os
import shutil
import signal
import sqlite3
import struct
import subprocess
import sys
import tempfile
import time
import traceback
import warnings

# Atspi 2.46 marks the action names deprecated for the sake of newer names
# that Debian 12's version lacks.
warnings.filterwarnings("ignore", category=DeprecationWarning)

BUILD = os.path.abspath(sys.argv[1])
SOURCE = os.path.abspath(sys.argv[2])
PREFIX = "/usr/local"
ICON_SIZES = [16, 24, 32, 48, 64, 128, 256]
SETTINGS_FILES = ["options.xml", "tools.xml", "presets.xml"]

failures = []


def check(condition, message):
    if not condition:
        failures.append(message)
        print("FAILED: " + message, flush=True)
    return condition


def install(root):
    """cmake --install into root as DESTDIR; the installed prefix."""
    env = dict(os.environ, DESTDIR=root)
    result = subprocess.run(["cmake", "--install", BUILD, "--prefix", PREFIX], env=env,
                            capture_output=True, text=True, timeout=120)
    if result.returncode != 0:
        raise RuntimeError("cmake --install failed:\n" + result.stdout + result.stderr)
    return root + PREFIX


def png_size(path):
    with open(path, "rb") as f:
        head = f.read(24)
    if head[:8] != b"\x89PNG\r\n\x1a\n" or head[12:16] != b"IHDR":
        return None
    return struct.unpack(">II", head[16:24])


def test_layout(tmp):
    root = os.path.join(tmp, "dest")
    prefix = install(root)
    program_dir = os.path.join(prefix, "lib/tolvex")

    launcher = os.path.join(prefix, "bin/tolvex")
    check(os.path.islink(launcher), "bin/tolvex is no symbolic link")
    if os.path.islink(launcher):
        check(os.readlink(launcher) == "../lib/tolvex/tolvex",
              "bin/tolvex points to " + os.readlink(launcher))
    check(os.path.realpath(launcher) == os.path.join(program_dir, "tolvex"),
          "bin/tolvex does not lead to the program")
    check(os.access(os.path.join(program_dir, "tolvex"), os.X_OK), "the program is not executable")
    # The crash reporter: its helper program beside the program, and the
    # program's settings section kept by the installation.
    check(os.access(os.path.join(program_dir, "tolvex-crashreport"), os.X_OK),
          "the crash report helper is not beside the program")
    sections = subprocess.run(["readelf", "-S", "-W", os.path.join(program_dir, "tolvex")],
                              capture_output=True, text=True).stdout
    check(".rsrc.10.TKELEXCEPT" in sections, "the installed program has no crash settings")

    def same(installed, original):
        return (os.path.isfile(installed) and os.path.isfile(original)
                and open(installed, "rb").read() == open(original, "rb").read())

    check(same(os.path.join(program_dir, "vendors.db"), os.path.join(BUILD, "bin/vendors.db")),
          "vendors.db is not the built one")
    check(same(os.path.join(program_dir, "README.md"), os.path.join(SOURCE, "README.md")),
          "README.md is not beside the program")
    for name in SETTINGS_FILES:
        check(same(os.path.join(program_dir, "Default", name),
                   os.path.join(SOURCE, "resources/Default", name)),
              "Default/" + name + " is not installed")
    for name in os.listdir(os.path.join(SOURCE, "resources/languages")):
        check(same(os.path.join(program_dir, "languages", name),
                   os.path.join(SOURCE, "resources/languages", name)),
              "languages/" + name + " is not installed")

    icons = {}
    for size in ICON_SIZES:
        icon = os.path.join(prefix, "share/icons/hicolor/%dx%d/apps/tolvex.png" % (size, size))
        check(png_size(icon) == (size, size) if os.path.isfile(icon) else False,
              "no %dx%d PNG icon" % (size, size))
        if os.path.isfile(icon):
            icons[size] = open(icon, "rb").read()
    check(len(set(icons.values())) == len(icons), "two icon sizes are the same file")

    entry = os.path.join(prefix, "share/applications/tolvex.desktop")
    check(os.path.isfile(entry), "no menu entry")
    if os.path.isfile(entry):
        result = subprocess.run(["desktop-file-validate", entry], capture_output=True, text=True)
        check(result.returncode == 0 and not result.stdout.strip(),
              "desktop-file-validate: " + result.stdout + result.stderr)
        fields = dict(line.split("=", 1) for line in open(entry).read().splitlines()
                      if "=" in line)
        check(fields.get("Exec") == '"%s/bin/tolvex"' % PREFIX,
              "Exec is " + repr(fields.get("Exec")))
        check(fields.get("Icon") == "tolvex", "Icon is " + repr(fields.get("Icon")))
        check(fields.get("Type") == "Application" and fields.get("Terminal") == "false",
              "the entry is no graphical application")

    # Everything landed under the prefix in DESTDIR.
    outside = [os.path.join(d, f) for d, _, files in os.walk(root) for f in files
               if not os.path.join(d, f).startswith(prefix + "/")]
    check(not outside, "installed outside the prefix: " + ", ".join(outside))


# --- the installed program, driven through the accessibility bus -----------

def atspi():
    import gi
    gi.require_version("Atspi", "2.0")
    from gi.repository import Atspi
    return Atspi


def find(node, predicate, depth=0):
    """The first accessible below node (depth first) that predicate takes."""
    if node is None or depth > 40:
        return None
    try:
        if predicate(node):
            return node
        count = node.get_child_count()
    except Exception:
        return None
    for i in range(count):
        try:
            child = node.get_child_at_index(i)
        except Exception:
            continue
        hit = find(child, predicate, depth + 1)
        if hit is not None:
            return hit
    return None


def wait_for(what, timeout=20.0):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        value = what()
        if value:
            return value
        time.sleep(0.2)
    return None


def application(Atspi, pid):
    desktop = Atspi.get_desktop(0)
    for i in range(desktop.get_child_count()):
        app = desktop.get_child_at_index(i)
        try:
            if app is not None and app.get_process_id() == pid:
                return app
        except Exception:
            pass
    return None


def named(Atspi, name, roles):
    def predicate(node):
        return node.get_name() == name and node.get_role() in roles
    return predicate


def press(Atspi, node):
    """Presses node. A press that opens a modal dialog is answered only when
    the dialog closes, so the answer is not waited for: the dialog's
    appearing is what tells."""
    for i in range(node.get_n_actions()):
        if node.get_action_name(i).lower() in ("press", "click"):
            Atspi.set_timeout(1000, -1)
            try:
                node.do_action(i)
            except Exception:
                pass
            finally:
                Atspi.set_timeout(-1, -1)
            return True
    return False


def text_of(node):
    try:
        return node.get_text(0, node.get_character_count())
    except Exception:
        return None


def expected_vendor(db, mac):
    number = int(mac.replace("-", ""), 16)
    row = sqlite3.connect("file:%s?mode=ro" % db, uri=True).execute(
        "SELECT organization_name FROM mac_addresses WHERE ? BETWEEN range_begin AND range_end"
        " ORDER BY bits DESC LIMIT 1", (number,)).fetchone()
    return row[0] if row else None


def lookup_vendor(pid, mac):
    """Opens "Lookup MAC address" of the running program, looks mac up and
    returns the manufacturer it shows (None: the dialog was not reached)."""
    Atspi = atspi()
    app = wait_for(lambda: application(Atspi, pid))
    if not check(app is not None, "the program is not on the accessibility bus"):
        return None
    buttons = (Atspi.Role.PUSH_BUTTON, Atspi.Role.TOGGLE_BUTTON, Atspi.Role.MENU_ITEM)
    command = wait_for(lambda: find(app, named(Atspi, "Lookup MAC address", buttons)))
    if not check(command is not None, "no \"Lookup MAC address\" command on the tool bar"):
        return None
    press(Atspi, command)
    dialog = wait_for(lambda: find(app, lambda n: n.get_name() ==
                                   "MAC Address Manufacturer Lookup"))
    if not check(dialog is not None, "the MAC lookup dialog did not open"):
        return None
    entries = (Atspi.Role.ENTRY, Atspi.Role.TEXT, Atspi.Role.PASSWORD_TEXT)
    address = find(dialog, named(Atspi, "MAC address", entries))
    vendor = find(dialog, named(Atspi, "Manufacturer", entries))
    lookup = find(dialog, named(Atspi, "Lookup", buttons))
    if not check(address is not None and vendor is not None and lookup is not None,
                 "the lookup dialog lacks its fields or its Lookup button"):
        return None
    address.set_text_contents(mac)
    check(wait_for(lambda: text_of(address) == mac, 5) is not None, "the MAC address was not typed")
    press(Atspi, lookup)
    return wait_for(lambda: text_of(vendor), 10)


def test_run(tmp):
    root = os.path.join(tmp, "dest")
    prefix = install(root)
    program_dir = os.path.join(prefix, "lib/tolvex")
    home = os.path.join(tmp, "home")
    runtime = os.path.join(tmp, "run")
    os.makedirs(home)
    os.makedirs(runtime, mode=0o700)
    env = {k: v for k, v in os.environ.items()
           if not k.startswith("XDG_") and k not in ("HOME", "QT_QPA_PLATFORM")}
    # A fresh home: the settings folder is found through HOME alone.
    env.update(HOME=home, XDG_RUNTIME_DIR=runtime, QT_QPA_PLATFORM="xcb",
               QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1", QT_ACCESSIBILITY="1")
    settings = os.path.join(home, ".config", "Tolvex Project", "Tolvex")
    errors = open(os.path.join(tmp, "stderr.txt"), "w+")
    program = subprocess.Popen([os.path.join(prefix, "bin/tolvex")], env=env, cwd=tmp,
                               stdout=errors, stderr=errors)
    try:
        seeded = wait_for(lambda: all(os.path.isfile(os.path.join(settings, f))
                                      for f in SETTINGS_FILES + ["languages/english.lng"]))
        check(seeded is not None, "the settings folder %s was not seeded" % settings)
        for name in ["tools.xml", "presets.xml"]:
            path = os.path.join(settings, name)
            check(os.path.isfile(path) and open(path, "rb").read() ==
                  open(os.path.join(program_dir, "Default", name), "rb").read(),
                  name + " is not the installed default")
        english = os.path.join(settings, "languages/english.lng")
        check(os.path.isfile(english) and open(english, "rb").read() ==
              open(os.path.join(program_dir, "languages/english.lng"), "rb").read(),
              "english.lng is not the installed one")

        # A 36-bit block inside a 24-bit one: the lookup must name its holder.
        mac = "00-50-C2-7D-51-23"
        want = expected_vendor(os.path.join(program_dir, "vendors.db"), mac)
        check(want is not None, "the installed vendors.db does not know " + mac)
        shown = lookup_vendor(program.pid, mac)
        print("the installed program names %s: %r" % (mac, shown), flush=True)
        check(shown is not None and shown == want,
              "the lookup of %s showed %r, not %r" % (mac, shown, want))
        check(program.poll() is None, "the program ended while it was used")
    finally:
        if program.poll() is None:
            program.send_signal(signal.SIGTERM)
        try:
            code = program.wait(30)
        except subprocess.TimeoutExpired:
            program.kill()
            code = program.wait()
        errors.seek(0)
        log = errors.read()
    check(code == 0, "the program ended with %s; its errors:\n%s" % (code, log))
    # Closing writes the options back, into the same folder.
    check(os.path.getsize(os.path.join(settings, "options.xml")) > 0, "options.xml is empty")


def test_package(tmp):
    out = os.path.join(tmp, "package")
    result = subprocess.run(["cpack", "--config", os.path.join(BUILD, "CPackConfig.cmake"),
                             "-G", "DEB", "-B", out], capture_output=True, text=True,
                            timeout=300, cwd=BUILD)
    if not check(result.returncode == 0, "cpack failed:\n" + result.stdout + result.stderr):
        return
    debs = [f for f in os.listdir(out) if f.endswith(".deb")]
    if not check(len(debs) == 1, "cpack made %s" % debs):
        return
    deb = os.path.join(out, debs[0])
    listing = subprocess.run(["dpkg-deb", "-c", deb], capture_output=True, text=True,
                             check=True).stdout.splitlines()
    entries = {}
    for line in listing:
        # mode owner size date time name [-> target]
        parts = line.split(None, 5)
        name = parts[5].split(" -> ")[0].lstrip(".")
        entries[name] = (parts[0], parts[5].split(" -> ")[1] if " -> " in parts[5] else None)

    # The package holds the installed tree, under /usr instead of /usr/local.
    installed = install(os.path.join(tmp, "dest"))
    expected = set()
    for d, dirs, files in os.walk(installed):
        for f in files:
            expected.add("/usr" + os.path.join(d, f)[len(installed):])
    listed = {n for n, (mode, _) in entries.items() if not mode.startswith("d")}
    # The desktop entry is made for the package's prefix.
    check(listed == expected, "package files differ from the installed ones: missing %s, extra %s"
          % (sorted(expected - listed), sorted(listed - expected)))
    check(entries.get("/usr/bin/tolvex", ("", None))[1] == "../lib/tolvex/tolvex",
          "the package's launcher is not the link to the program")
    check(entries.get("/usr/lib/tolvex/tolvex", ("",))[0].startswith("-rwx"),
          "the package's program is not executable")
    for name in entries:
        check(name == "/" or name.startswith("/usr/"), name + " lies outside /usr")

    fields = subprocess.run(["dpkg-deb", "-f", deb, "Package", "Maintainer", "Depends",
                             "Architecture"], capture_output=True, text=True,
                            check=True).stdout
    info = dict(line.split(": ", 1) for line in fields.splitlines() if ": " in line)
    check(info.get("Package") == "tolvex", "package name " + repr(info.get("Package")))
    check(bool(info.get("Maintainer")), "no maintainer")
    depends = info.get("Depends", "")
    for library in ("libc6", "libqt6widgets6", "libsqlite3-0"):
        check(library in depends, "Depends lacks %s: %s" % (library, depends))

    # The package's menu entry names the package's launcher.
    extracted = os.path.join(tmp, "extracted")
    subprocess.run(["dpkg-deb", "-x", deb, extracted], check=True)
    entry = os.path.join(extracted, "usr/share/applications/tolvex.desktop")
    check(os.path.isfile(entry) and 'Exec="/usr/bin/tolvex"' in open(entry).read().splitlines(),
          "the package's menu entry does not start /usr/bin/tolvex")


def main():
    tests = {"layout": test_layout, "run": test_run, "package": test_package}
    for name in sys.argv[3:]:
        tmp = tempfile.mkdtemp(prefix="tolvex-install-")
        try:
            tests[name](tmp)
        except Exception:
            failures.append(name + ": " + traceback.format_exc())
            print(failures[-1], flush=True)
        finally:
            shutil.rmtree(tmp, ignore_errors=True)
    if failures:
        print("%d failure(s)" % len(failures))
        return 1
    print("passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
