"""Remote access end to end, on a home network of network namespaces: an ISP side, a router
running miniupnpd, and kestrio --headless on the host behind it. The host maps its port on the
router, says the remote address, and mails it through msmtp to a local SMTP sink, once; a viewer
on the ISP side reaches the host through the mapping, but is served only with the identifier of
a phone that connected at home before, and its lines never reach the input layer otherwise; the
mapping is gone once the host ends. How the port mapper deals with routers that speak only UPnP,
refuse the port or speak neither is the router tests' part."""

import base64
import ctypes
import json
import mailbox
import os
import re
import shutil
import socket
import subprocess
import tempfile
import threading

from host_support import (BIN, SOURCE, Host, UserDirs, Viewer, XServer, check, skip, wait_until)

NAMESPACE = f"kr{os.getpid() % 100000}"
WAN = "11.22.44"
ROUTER = WAN + ".1"
HOST_LAN = "192.168.77.2"
PORT = 59590
LAB = os.path.join(SOURCE, "tests", "router", "router_lab.sh")
SMTP_PORT = 2525
ADDRESS = "me@example.com"
EXPLANATION = "Kestrio 주소가 변경되었습니다.\n아이폰 앱에 다음 메시지의 주소를 입력하면 외부에서 연결할 수 있습니다."
REFUSED = "외부 연결 거부됨 · 같은 네트워크에서 연결한 적 있는 iPhone만 외부에서 연결할 수 있습니다"
SEND_FAILED = "이메일 전송 실패 · 주소와 sendmail 설정을 확인하세요"
CLONE_NEWNET = 0x40000000


def in_namespace(side, function):
    """function()'s result, run on a thread that has entered the namespace NAMESPACE-side.
    Sockets keep the namespace they were made in, so they can be used from any thread after."""
    libc = ctypes.CDLL(None, use_errno=True)
    outcome = {}

    def run():
        try:
            with open(f"/run/netns/{NAMESPACE}-{side}") as handle:
                if libc.setns(handle.fileno(), CLONE_NEWNET) != 0:
                    raise OSError(ctypes.get_errno(), "setns")
            outcome["value"] = function()
        except Exception as error:  # handed to the caller's thread
            outcome["error"] = error

    thread = threading.Thread(target=run)
    thread.start()
    thread.join()
    if "error" in outcome:
        raise outcome["error"]
    return outcome["value"]


def viewer_from(side, host):
    return in_namespace(side, lambda: Viewer(PORT, host))


def hello(name, identifier):
    return f"HELLO 2 JPEG {base64.b64encode(name.encode()).decode()} {base64.b64encode(identifier.encode()).decode()}"


def reachable_from_isp():
    def attempt():
        try:
            with socket.create_connection((ROUTER, PORT), timeout=2):
                return True
        except OSError:
            return False
    return in_namespace("isp", attempt)


def mapped_rules():
    return subprocess.run(["ip", "netns", "exec", f"{NAMESPACE}-rtr", "nft", "list", "chain", "inet", "filter",
                           "prerouting_miniupnpd"], capture_output=True, text=True).stdout


class Router:
    """miniupnpd in the router's namespace, serving NAT-PMP and UPnP to the LAN."""

    def __init__(self, work):
        folder = tempfile.mkdtemp(dir=work, prefix="router-")
        self.folder = folder
        self.log = os.path.join(folder, "miniupnpd.log")
        with open(self.log, "w") as output:
            self.process = subprocess.Popen(["sh", LAB, "miniupnpd", NAMESPACE, folder, "yes", "yes",
                                             "allow 1024-65535 192.168.77.0/24 1024-65535"],
                                            stdout=output, stderr=subprocess.STDOUT)

        def ready():
            with open(self.log, errors="replace") as f:
                text = f.read()
            return "Listening for NAT-PMP" in text and "HTTP listening on port" in text
        check(wait_until(ready, 10), f"miniupnpd did not start: {open(self.log).read()}")

    def stop(self):
        self.process.terminate()
        try:
            self.process.wait(5)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()


class Sink:
    """A local SMTP server in the host's namespace that keeps what it receives in a Maildir."""

    def __init__(self, folder):
        self.folder = folder
        self.process = subprocess.Popen(
            ["ip", "netns", "exec", f"{NAMESPACE}-host", "/usr/bin/python3", "-m", "aiosmtpd", "-n", "-l",
             f"127.0.0.1:{SMTP_PORT}", "-c", "aiosmtpd.handlers.Mailbox", folder],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

        def listening():
            try:
                with socket.create_connection(("127.0.0.1", SMTP_PORT), timeout=1):
                    return True
            except OSError:
                return False
        check(wait_until(lambda: in_namespace("host", listening), 15), "the SMTP sink did not start")

    def bodies(self):
        """(recipient, text) of each mail, in the order they arrived."""
        if not os.path.isdir(os.path.join(self.folder, "new")):
            return []
        box = mailbox.Maildir(self.folder, create=False)
        # The sink is one process, and Maildir names carry its delivery count after "Q".
        return [(box[key]["To"], box[key].get_payload(decode=True).decode("utf-8"))
                for key in sorted(box.keys(), key=lambda k: int(re.search(r"Q(\d+)", k).group(1)))]

    def stop(self):
        self.process.terminate()
        self.process.wait(10)


class HomeHost:
    """kestrio --headless in the host's namespace, on the X server given, with mail going through
    msmtp to the sink: msmtp is the host's sendmail program here, whatever mail system the
    machine has (its /usr/sbin/sendmail would keep the mail or send it elsewhere)."""

    started = []  # ended at the end of the test however it ends: a host left running would keep
                  # its name on the mDNS daemon, and the next test's host would have to take another

    def __init__(self, dirs, server):
        environment = server.environment(dirs.environment())
        environment["HOME"] = dirs.root
        environment["KESTRIO_SENDMAIL"] = shutil.which("msmtp")
        self.host = Host(PORT, env=environment, dirs=dirs, port_mapping=True,
                         command=["ip", "netns", "exec", f"{NAMESPACE}-host"])
        HomeHost.started.append(self.host)
        check(self.host.wait_for_line(r"^listening on port ", 20), f"the host is not listening: {self.host.lines}")

    def line(self, pattern, timeout=20.0):
        found = self.host.wait_for_line(pattern, timeout)
        check(found, f"no line matching {pattern!r}: {self.host.lines}")
        return found

    def stop(self):
        check(self.host.terminate(20) == 0, f"the host did not end cleanly: {self.host.lines}")


def write_settings(dirs, **values):
    os.makedirs(dirs.settings_folder, exist_ok=True)
    stored = read_settings(dirs) if os.path.exists(os.path.join(dirs.settings_folder, "settings.json")) else {}
    stored.update(values)
    with open(os.path.join(dirs.settings_folder, "settings.json"), "w", encoding="utf-8") as f:
        json.dump(stored, f)


def read_settings(dirs):
    return json.load(open(os.path.join(dirs.settings_folder, "settings.json"), encoding="utf-8"))


def ended_unanswered(viewer, timeout=15.0):
    """True once the host has closed the connection (a close with unread lines is a reset)
    without having sent a byte."""
    viewer.sock.settimeout(timeout)
    try:
        return viewer.sock.recv(1) == b""
    except ConnectionResetError:
        return True
    except socket.timeout:
        return False


def strangers_and_the_trusted_phone(home, recorder, button_press):
    # At home first: the phone's own identifier is remembered.
    phone = viewer_from("host", HOST_LAN)
    phone.send_line(hello("민지의 iPhone", "phone-e2e"))
    check(phone.read_control().startswith("WELCOME 2 JPEG "), "the phone at home is served")
    home.line(r"^viewer: 민지의 iPhone$")
    phone.close()

    # From the ISP side through the mapping: an unknown identifier, and the phone's identifier
    # given only as its name, get nothing and are closed; their clicks go nowhere. (Whom the
    # gate trusts is the link's tests' part.)
    for handshake in (hello("민지의 iPhone", "intruder"), "CAP JPEG " + base64.b64encode(b"phone-e2e").decode()):
        stranger = viewer_from("isp", ROUTER)
        # In one write: a refusal may close the connection before a later write.
        stranger.sock.sendall("".join(line + "\n" for line in ("C 0.5 0.5", handshake, "C 0.5 0.5", "PING x")).encode())
        check(ended_unanswered(stranger), f"a stranger ({handshake}) was answered or not closed")
    home.line("^" + REFUSED + "$")

    # The phone itself from outside: served, and its click arrives.
    remote = viewer_from("isp", ROUTER)
    remote.send_line(hello("민지의 iPhone", "phone-e2e"))
    check(remote.read_control().startswith("WELCOME 2 JPEG "), "the trusted phone is served from outside")
    remote.send_line("C 0.5 0.5")
    events = recorder.wait_for(lambda got: any(e.type == button_press for e in got), 10)
    presses = [e for e in events if e.type == button_press]
    check(len(presses) == 1, f"exactly the trusted phone's click arrives: {events}")
    remote.close()


def main():
    if not BIN:
        skip("KESTRIO_BIN is not set")
    if os.geteuid() != 0:
        skip("network namespaces need root")
    for tool in ("ip", "nft", "miniupnpd", "msmtp", "Xvfb"):
        if not shutil.which(tool):
            skip(f"{tool} is not installed")
    try:
        import aiosmtpd  # noqa: F401
        import Xlib  # noqa: F401
    except ImportError as missing:
        skip(f"{missing.name} is not installed")
    from x_input_recorder import BUTTON_PRESS, InputRecorder

    work = tempfile.mkdtemp(prefix="kestrio-remote-")
    server = XServer(1920, 1080)
    router = sink = None
    dirs = UserDirs()
    try:
        subprocess.run(["sh", LAB, "up", NAMESPACE, WAN], check=True)
        router = Router(work)
        sink = Sink(os.path.join(work, "mail"))
        msmtprc = os.path.join(dirs.root, ".msmtprc")
        with open(msmtprc, "w") as f:
            f.write(f"account default\nhost 127.0.0.1\nport {SMTP_PORT}\nfrom kestrio@example.net\n"
                    "auth off\ntls off\n")
        os.chmod(msmtprc, 0o600)
        write_settings(dirs, iMessageNotificationsEnabled=True, iMessageAddress=" " + ADDRESS + "\n")

        recorder = InputRecorder(server.name)
        home = HomeHost(dirs, server)
        endpoint = f"{ROUTER}:{PORT}"
        home.line(rf"^remote address: {ROUTER}:{PORT} \(자동 포트 연결 준비됨\)$")
        home.line(r"^message: 새 주소를 이메일로 보냈습니다$")
        check(sink.bodies() == [(ADDRESS, EXPLANATION), (ADDRESS, endpoint)], f"mails: {sink.bodies()}")
        check(read_settings(dirs).get("lastNotifiedRemoteEndpoint") == endpoint, "the sent address is recorded")
        check(f"dport {PORT}" in mapped_rules(), f"the router forwards: {mapped_rules()}")

        strangers_and_the_trusted_phone(home, recorder, BUTTON_PRESS)
        recorder.close()
        home.stop()
        # Gone from the router: even a listener in the host's place is out of reach now.
        check(f"dport {PORT}" not in mapped_rules(), f"the mapping outlived the host: {mapped_rules()}")
        listener = in_namespace("host", lambda: socket.create_server(("0.0.0.0", PORT)))
        check(not reachable_from_isp(), "the port is still forwarded after the host ended")
        listener.close()

        # A server that refuses: the failure's text, and the record stays.
        sink.stop()
        write_settings(dirs, lastNotifiedRemoteEndpoint="old")
        home = HomeHost(dirs, server)
        home.line("^message: " + SEND_FAILED + "$")
        home.stop()
        check(read_settings(dirs).get("lastNotifiedRemoteEndpoint") == "old", "a failed send changed the record")
    finally:
        for host in HomeHost.started:
            if host.process.poll() is None:
                host.process.kill()
                host.process.wait()
        if router:
            router.stop()
        if sink and sink.process.poll() is None:
            sink.stop()
        subprocess.run(["sh", LAB, "down", NAMESPACE])
        server.close()
        dirs.close()
        shutil.rmtree(work, ignore_errors=True)
    print("remote access: ok")


if __name__ == "__main__":
    main()
