"""Remote access on a home network of namespaces (ISP side, a miniupnpd router, kestrio --headless
behind it): the host maps its port, mails the remote address once (to a sendmail that keeps it),
serves a viewer from outside only with the identifier of a phone seen at home (whose lines never
reach the input layer otherwise), and the mapping goes with the host."""

import ctypes
import email
import os
import shutil
import subprocess
import tempfile
import threading

from host_support import SOURCE, Host, UserDirs, Viewer, XServer, check, hello, require, wait_until

NAMESPACE = f"kr{os.getpid() % 100000}"
ROUTER, HOST_LAN, PORT = "11.22.44.1", "192.168.77.2", 59590
LAB = os.path.join(SOURCE, "tests", "router", "router_lab.sh")
ADDRESS = "me@example.com"
EXPLANATION = "Kestrio 주소가 변경되었습니다.\n아이폰 앱에 다음 메시지의 주소를 입력하면 외부에서 연결할 수 있습니다."


def viewer_in(side, address):
    """A viewer connected from a thread in the namespace: sockets keep the namespace they were made in."""
    made, path = [], f"/run/netns/{NAMESPACE}-{side}"
    thread = threading.Thread(target=lambda: ctypes.CDLL(None).setns(os.open(path, os.O_RDONLY | os.O_CLOEXEC), 0x40000000) == 0 and made.append(Viewer(PORT, address)))
    thread.start()
    thread.join()
    check(made, f"no connection from {side}")
    return made[0]


def strangers_and_the_trusted_phone(home, recorder, button_press):
    phone = viewer_in("host", HOST_LAN)
    phone.send_line(hello("민지의 iPhone", "phone-e2e", "JPEG"))
    check(phone.read_control().startswith("WELCOME 2 JPEG "), "the phone at home is served")
    home.line(r"^viewer: 민지의 iPhone$", 20)
    phone.close()
    # An unknown identifier gets nothing and is closed, its click with it, all in one write (a
    # refusal may close the connection before a later one). Which handshakes name a phone is the
    # streamer tests' part.
    stranger = viewer_in("isp", ROUTER)
    stranger.sock.sendall("".join(line + "\n" for line in ("C 0.5 0.5", hello("민지의 iPhone", "intruder", "JPEG"), "C 0.5 0.5", "PING x")).encode())
    check(stranger.closed_by_host(15, unanswered=True), "a stranger was answered or not closed")
    home.line("^외부 연결 거부됨 · 같은 네트워크에서 연결한 적 있는 iPhone만 외부에서 연결할 수 있습니다$", 20)
    remote = viewer_in("isp", ROUTER)
    remote.send_line(hello("민지의 iPhone", "phone-e2e", "JPEG"))
    check(remote.read_control().startswith("WELCOME 2 JPEG "), "the trusted phone is served from outside")
    remote.send_line("C 0.5 0.5")
    events = recorder.wait_for(lambda got: any(e.type == button_press for e in got), 10)
    check(len([e for e in events if e.type == button_press]) == 1, f"exactly the trusted phone's click arrives: {events} {home.lines}")
    remote.close()


def main():
    require("ip", "nft", "miniupnpd", "Xvfb", modules=["Xlib"], root="network namespaces need root")
    from x_input_recorder import BUTTON_PRESS, InputRecorder
    work = tempfile.mkdtemp(prefix="kestrio-remote-")
    mail, log, sendmail = os.path.join(work, "mail"), os.path.join(work, "miniupnpd.log"), os.path.join(work, "sendmail")
    os.mkdir(mail)
    with open(sendmail, "w", opener=lambda path, flags: os.open(path, flags, 0o755)) as f:
        f.write(f"#!/bin/sh\ncat > {mail}/$(date +%s%N)\n")
    processes = []
    try:
        with XServer(1920, 1080) as server, UserDirs() as dirs:
            subprocess.run(["sh", LAB, "up", NAMESPACE, "11.22.44"], check=True)
            with open(log, "w") as output:
                processes.append(subprocess.Popen(["sh", LAB, "miniupnpd", NAMESPACE, work, "yes", "yes", "allow 1024-65535 192.168.77.0/24 1024-65535"],
                                                  stdout=output, stderr=subprocess.STDOUT))
            text = lambda: open(log, errors="replace").read()
            check(wait_until(lambda: "Listening for NAT-PMP" in text() and "HTTP listening on port" in text()), f"miniupnpd did not start: {text()}")
            dirs.store(iMessageNotificationsEnabled=True, iMessageAddress=" " + ADDRESS + "\n")

            with server.as_client():
                recorder = InputRecorder(server.name)
            home = Host(PORT, env={**server.environment(dirs.environment()), "KESTRIO_SENDMAIL": sendmail}, dirs=dirs, port_mapping=True,
                        command=["ip", "netns", "exec", f"{NAMESPACE}-host"])
            processes.append(home.process)
            endpoint = f"{ROUTER}:{PORT}"
            home.line(rf"^remote address: {endpoint} \(자동 포트 연결 준비됨\)$", 20)
            home.line(r"^message: 새 주소를 이메일로 보냈습니다$", 20)
            sent = [(m["To"], m.get_payload(decode=True).decode("utf-8"))
                    for m in (email.message_from_bytes(open(os.path.join(mail, name), "rb").read()) for name in sorted(os.listdir(mail)))]
            check(sent == [(ADDRESS, EXPLANATION), (ADDRESS, endpoint)], f"mails: {sent}")
            strangers_and_the_trusted_phone(home, recorder, BUTTON_PRESS)
            recorder.close()
            check(home.terminate(20) == 0, f"the host did not end cleanly: {home.lines}")
            rules = subprocess.run(["ip", "netns", "exec", f"{NAMESPACE}-rtr", "nft", "list", "chain", "inet", "filter", "prerouting_miniupnpd"],
                                   capture_output=True, text=True).stdout
            check(rules and f"dport {PORT}" not in rules, f"the mapping outlived the host: {rules}")
    finally:
        for process in processes:
            process.terminate()
            process.wait()
        subprocess.run(["sh", LAB, "down", NAMESPACE])
        shutil.rmtree(work, ignore_errors=True)
    print("remote access: ok")


if __name__ == "__main__":
    main()
