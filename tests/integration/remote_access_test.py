"""Remote access on a home network of namespaces (ISP side, a miniupnpd router, kestrio --headless
behind it): the host maps its port, mails the remote address once through msmtp to a local SMTP
sink, serves a viewer from outside only with the identifier of a phone seen at home (whose lines
never reach the input layer otherwise), and the mapping goes with the host. Routers that speak
only UPnP, refuse or speak neither are the router tests' part."""

import base64
import ctypes
import mailbox
import os
import re
import shutil
import socket
import subprocess
import tempfile
import threading

from host_support import SOURCE, Host, UserDirs, Viewer, XServer, check, hello, require, wait_until

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


def reachable(side, address, port):
    def attempt():
        try:
            with socket.create_connection((address, port), timeout=2):
                return True
        except OSError:
            return False
    return in_namespace(side, attempt)


def viewer_from(side, host):
    return in_namespace(side, lambda: Viewer(PORT, host))


def mapped_rules():
    return subprocess.run(["ip", "netns", "exec", f"{NAMESPACE}-rtr", "nft", "list", "chain", "inet", "filter",
                           "prerouting_miniupnpd"], capture_output=True, text=True).stdout


def start_router(work):
    """miniupnpd in the router's namespace, serving NAT-PMP and UPnP to the LAN."""
    log = os.path.join(tempfile.mkdtemp(dir=work, prefix="router-"), "miniupnpd.log")
    with open(log, "w") as output:
        router = subprocess.Popen(["sh", LAB, "miniupnpd", NAMESPACE, os.path.dirname(log), "yes", "yes",
                                   "allow 1024-65535 192.168.77.0/24 1024-65535"], stdout=output, stderr=subprocess.STDOUT)
    text = lambda: open(log, errors="replace").read()
    check(wait_until(lambda: "Listening for NAT-PMP" in text() and "HTTP listening on port" in text(), 10),
          f"miniupnpd did not start: {text()}")
    return router


def start_sink(folder):
    """A local SMTP server in the host's namespace that keeps what it receives in a Maildir."""
    sink = subprocess.Popen(["ip", "netns", "exec", f"{NAMESPACE}-host", "/usr/bin/python3", "-m", "aiosmtpd", "-n", "-l",
                             f"127.0.0.1:{SMTP_PORT}", "-c", "aiosmtpd.handlers.Mailbox", folder],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    check(wait_until(lambda: reachable("host", "127.0.0.1", SMTP_PORT), 15), "the SMTP sink did not start")
    return sink


def mails(folder):
    """(recipient, text) of each mail, in the order they arrived."""
    if not os.path.isdir(os.path.join(folder, "new")):
        return []
    box = mailbox.Maildir(folder, create=False)
    # The sink is one process, and Maildir names carry its delivery count after "Q".
    return [(box[key]["To"], box[key].get_payload(decode=True).decode("utf-8"))
            for key in sorted(box.keys(), key=lambda k: int(re.search(r"Q(\d+)", k).group(1)))]


def home_host(dirs, server, started):
    """kestrio --headless in the host's namespace, with mail going through msmtp to the sink: msmtp is
    the host's sendmail program here, whatever mail system the machine has. Every host started is
    ended with the test however it ends: one left running would keep its name on the mDNS daemon."""
    environment = {**server.environment(dirs.environment()), "HOME": dirs.root, "KESTRIO_SENDMAIL": shutil.which("msmtp")}
    started.append(Host(PORT, env=environment, dirs=dirs, port_mapping=True,
                        command=["ip", "netns", "exec", f"{NAMESPACE}-host"]))
    started[-1].line(r"^listening on port ", 20)
    return started[-1]


def strangers_and_the_trusted_phone(home, recorder, button_press):
    # At home first: the phone's own identifier is remembered.
    phone = viewer_from("host", HOST_LAN)
    phone.send_line(hello("민지의 iPhone", "phone-e2e", "JPEG"))
    check(phone.read_control().startswith("WELCOME 2 JPEG "), "the phone at home is served")
    home.line(r"^viewer: 민지의 iPhone$", 20)
    phone.close()

    # From the ISP side through the mapping: an unknown identifier, and the phone's identifier
    # given only as its name, get nothing and are closed; their clicks go nowhere. (Whom the
    # gate trusts is the link's tests' part.)
    for handshake in (hello("민지의 iPhone", "intruder", "JPEG"), "CAP JPEG " + base64.b64encode(b"phone-e2e").decode()):
        stranger = viewer_from("isp", ROUTER)
        # In one write: a refusal may close the connection before a later write.
        stranger.sock.sendall("".join(line + "\n" for line in ("C 0.5 0.5", handshake, "C 0.5 0.5", "PING x")).encode())
        check(stranger.closed_by_host(15, unanswered=True), f"a stranger ({handshake}) was answered or not closed")
    home.line("^" + REFUSED + "$", 20)

    # The phone itself from outside: served, and its click arrives.
    remote = viewer_from("isp", ROUTER)
    remote.send_line(hello("민지의 iPhone", "phone-e2e", "JPEG"))
    check(remote.read_control().startswith("WELCOME 2 JPEG "), "the trusted phone is served from outside")
    remote.send_line("C 0.5 0.5")
    events = recorder.wait_for(lambda got: any(e.type == button_press for e in got), 10)
    presses = [e for e in events if e.type == button_press]
    check(len(presses) == 1, f"exactly the trusted phone's click arrives: {events}")
    remote.close()


def main():
    require("ip", "nft", "miniupnpd", "msmtp", "Xvfb", modules=["aiosmtpd", "Xlib"], root=True)
    from x_input_recorder import BUTTON_PRESS, InputRecorder

    work = tempfile.mkdtemp(prefix="kestrio-remote-")
    mail = os.path.join(work, "mail")
    processes, started = [], []
    try:
        with XServer(1920, 1080) as server, UserDirs() as dirs:
            subprocess.run(["sh", LAB, "up", NAMESPACE, WAN], check=True)
            processes += [start_router(work), start_sink(mail)]
            msmtprc = os.path.join(dirs.root, ".msmtprc")
            with open(msmtprc, "w") as f:
                f.write(f"account default\nhost 127.0.0.1\nport {SMTP_PORT}\nfrom kestrio@example.net\nauth off\ntls off\n")
            os.chmod(msmtprc, 0o600)
            dirs.store(iMessageNotificationsEnabled=True, iMessageAddress=" " + ADDRESS + "\n")

            recorder = InputRecorder(server.name)
            home = home_host(dirs, server, started)
            endpoint = f"{ROUTER}:{PORT}"
            home.line(rf"^remote address: {ROUTER}:{PORT} \(자동 포트 연결 준비됨\)$", 20)
            home.line(r"^message: 새 주소를 이메일로 보냈습니다$", 20)
            check(mails(mail) == [(ADDRESS, EXPLANATION), (ADDRESS, endpoint)], f"mails: {mails(mail)}")
            check(dirs.settings().get("lastNotifiedRemoteEndpoint") == endpoint, "the sent address is recorded")
            check(f"dport {PORT}" in mapped_rules(), f"the router forwards: {mapped_rules()}")

            strangers_and_the_trusted_phone(home, recorder, BUTTON_PRESS)
            recorder.close()
            check(home.terminate(20) == 0, f"the host did not end cleanly: {home.lines}")
            # Gone from the router: even a listener in the host's place is out of reach now.
            check(f"dport {PORT}" not in mapped_rules(), f"the mapping outlived the host: {mapped_rules()}")
            listener = in_namespace("host", lambda: socket.create_server(("0.0.0.0", PORT)))
            check(not reachable("isp", ROUTER, PORT), "the port is still forwarded after the host ended")
            listener.close()

            # A server that refuses: the failure's text, and the record stays.
            processes[1].terminate()
            processes[1].wait(10)
            dirs.store(lastNotifiedRemoteEndpoint="old")
            home = home_host(dirs, server, started)
            home.line("^message: " + SEND_FAILED + "$", 20)
            check(home.terminate(20) == 0, f"the host did not end cleanly: {home.lines}")
            check(dirs.settings().get("lastNotifiedRemoteEndpoint") == "old", "a failed send changed the record")
    finally:
        for process in [host.process for host in started] + processes:
            process.terminate()
            try:
                process.wait(5)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
        subprocess.run(["sh", LAB, "down", NAMESPACE])
        shutil.rmtree(work, ignore_errors=True)
    print("remote access: ok")


if __name__ == "__main__":
    main()
