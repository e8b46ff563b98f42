#!/usr/bin/env python3
"""The file service of a headless OskelServer, driven by real FTP clients: Python's
ftplib, curl and lftp. The server runs in a temporary folder with its own config.ini,
users are added through its command line, and it is stopped with SIGTERM at the end.

    test_file_service.py --server PATH/TO/OskelServer [unittest options]
"""

import ftplib
import hashlib
import os
import random
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest
import uuid

SERVER = None  # set from --server
CURL = "/usr/bin/curl"
LFTP = "/usr/bin/lftp"
HOST = "127.0.0.1"
LIMIT_MB = 2
LIMIT = LIMIT_MB * 1024 * 1024
PASSWORDS = {"alice": "alice-pw", "bob": "bob-pw"}


def guid():
    return "{" + str(uuid.uuid4()) + "}"


def sha(data):
    return hashlib.sha256(data).hexdigest()


def free_port():
    with socket.socket() as s:
        s.bind((HOST, 0))
        return s.getsockname()[1]


def passive_range(count=20):
    """`count` consecutive ports that are free now, below the ephemeral range so that
    no client connection takes one meanwhile."""
    with open("/proc/sys/net/ipv4/ip_local_port_range") as f:
        low = int(f.read().split()[0])
    top = low - count if low > 12000 else 65535 - count
    for _ in range(200):
        base = random.randint(10000, top)
        socks = []
        try:
            for p in range(base, base + count):
                s = socket.socket()
                socks.append(s)
                s.bind((HOST, p))
            return base, base + count - 1
        except OSError:
            continue
        finally:
            for s in socks:
                s.close()
    raise RuntimeError("no free range of passive ports")


class Server:
    """A headless OskelServer in a temporary folder. `tempDic` names a folder that does
    not exist at the start, so uploads land in "Files" beside config.ini."""

    def __init__(self, idle_timeout=300):
        self.tmp = tempfile.TemporaryDirectory(prefix="oskel-ftp-")
        self.dir = self.tmp.name
        self.config = os.path.join(self.dir, "config.ini")
        self.port = free_port()
        self.passive = passive_range()
        pmin, pmax = self.passive
        with open(self.config, "w") as f:
            f.write(
                "[Server Info]\n"
                f"tcpServer={free_port()}\nftpServer={self.port}\nudpServer={free_port()}\n"
                f"BindAddress={HOST}\nEncryptMsg=0\n"
                "tempDic=uploads\n"
                f"LimitFileTrans=-1\nLimitFileSize={LIMIT_MB}\n"
                f"PasvPortMin={pmin}\nPasvPortMax={pmax}\n"
                f"FtpIdleTimeout={idle_timeout}\nFileRetentionDays=30\n"
            )
        self.cli("user", "add", "alice", "--first", "Alice", stdin=PASSWORDS["alice"])
        self.cli("user", "add", "bob", "--first", "Bob", stdin=PASSWORDS["bob"])
        self.cli("user", "disable", "bob")
        self.out = open(os.path.join(self.dir, "server.out"), "wb")
        self.err = open(os.path.join(self.dir, "server.err"), "wb")
        self.proc = subprocess.Popen([SERVER, "--headless", "--config", self.config], stdout=self.out, stderr=self.err)
        deadline = time.monotonic() + 10
        while True:
            try:
                with socket.create_connection((HOST, self.port), timeout=1) as s:
                    if s.recv(100).startswith(b"220"):
                        break
            except OSError:
                pass
            if self.proc.poll() is not None or time.monotonic() > deadline:
                self.stop()
                raise RuntimeError("OskelServer did not start:\n" + self.log())
            time.sleep(0.05)

    def cli(self, *args, stdin=""):
        r = subprocess.run([SERVER, "--config", self.config, *args], input=stdin + "\n", capture_output=True,
                           text=True, timeout=30)
        if r.returncode != 0:
            raise RuntimeError(f"OskelServer {' '.join(args)}: {r.returncode} {r.stderr}")

    def log(self):
        with open(os.path.join(self.dir, "server.err"), errors="replace") as f:
            return f.read()

    def folder(self):
        return os.path.join(self.dir, "Files")

    def path(self, name):
        return os.path.join(self.folder(), name)

    def stop(self):
        """SIGTERM; returns the exit status."""
        status = None
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                status = self.proc.wait(timeout=15)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        else:
            status = self.proc.returncode
        self.out.close()
        self.err.close()
        self.tmp.cleanup()
        return status


class FileServiceTest(unittest.TestCase):
    server = None

    @classmethod
    def setUpClass(cls):
        cls.server = Server()

    @classmethod
    def tearDownClass(cls):
        status = cls.server.stop()
        if status != 0:
            raise AssertionError(f"OskelServer ended with {status} on SIGTERM")

    # Helpers ---------------------------------------------------------------------

    def ftp(self, user="alice", password=None, passive=True):
        f = ftplib.FTP(timeout=15)
        f.connect(HOST, self.server.port)
        self.addCleanup(f.close)
        if user:
            f.login(user, PASSWORDS[user] if password is None else password)
        f.set_pasv(passive)
        return f

    def url(self, name):
        return f"ftp://{HOST}:{self.server.port}/{name}"

    def curl(self, *args):
        return subprocess.run([CURL, "-sS", "-g", "--max-time", "60", "-u", f"alice:{PASSWORDS['alice']}", *args],
                              capture_output=True, timeout=90)

    def lftp(self, passive, commands):
        script = (f"set ftp:passive-mode {'on' if passive else 'off'}; set net:max-retries 1; set net:timeout 10; "
                  f"set cmd:fail-exit yes; {commands}; quit")
        return subprocess.run([LFTP, "-u", f"alice,{PASSWORDS['alice']}", "-p", str(self.server.port), "-e", script,
                               HOST], capture_output=True, timeout=90)

    def local(self, name, data=b""):
        path = os.path.join(self.server.dir, "client", name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def read(self, path):
        with open(path, "rb") as f:
            return f.read()

    def upload(self, how, name, data):
        if how in ("ftplib pasv", "ftplib port"):
            src = self.local("up-" + name, data)
            with open(src, "rb") as f:
                self.ftp(passive=how == "ftplib pasv").storbinary("STOR " + name, f)
        elif how in ("curl pasv", "curl port"):
            r = self.curl(*(["-P", "-"] if how == "curl port" else []), "-T", self.local("up-" + name, data),
                          self.url(name))
            self.assertEqual(r.returncode, 0, r.stderr)
        elif how in ("lftp pasv", "lftp port"):
            r = self.lftp(how == "lftp pasv", f"put {self.local('up-' + name, data)} -o {name}")
            self.assertEqual(r.returncode, 0, r.stderr)
        else:
            self.fail(how)

    def download(self, how, name):
        if how in ("ftplib pasv", "ftplib port"):
            chunks = []
            self.ftp(passive=how == "ftplib pasv").retrbinary("RETR " + name, chunks.append)
            return b"".join(chunks)
        out = self.local("down-" + name)
        os.remove(out)
        if how in ("curl pasv", "curl port"):
            r = self.curl(*(["-P", "-"] if how == "curl port" else []), "-o", out, self.url(name))
        elif how in ("lftp pasv", "lftp port"):
            r = self.lftp(how == "lftp pasv", f"get {name} -o {out}")
        else:
            self.fail(how)
        self.assertEqual(r.returncode, 0, r.stderr)
        return self.read(out)

    def place(self, name, size, tail=b""):
        """A sparse file of `size` bytes straight in the upload folder, ending in `tail`."""
        # The server creates the folder at the first request that needs it.
        self.assertRefused("550", self.ftp().sendcmd, "SIZE " + name)
        path = self.server.path(name)
        with open(path, "wb") as f:
            f.truncate(size)
            if tail:
                f.seek(size - len(tail))
                f.write(tail)
        self.addCleanup(os.remove, path)
        return path

    def assertRefused(self, code, call, *args):
        with self.assertRaises(ftplib.Error) as caught:
            call(*args)
        self.assertTrue(str(caught.exception).startswith(code), f"{args}: {caught.exception}")

    # Tests -----------------------------------------------------------------------

    def test_replies_to_the_commands_clients_send_first(self):
        f = ftplib.FTP(timeout=15)
        self.addCleanup(f.close)
        self.assertTrue(f.connect(HOST, self.server.port).startswith("220"))
        # Before sign-in only USER, PASS and QUIT are served.
        for cmd in ("NOOP", "SYST", "PWD", "TYPE I", "PASV", "EPSV", "PORT 127,0,0,1,200,10", "REST 0", "SIZE x",
                    "RETR x", "STOR x", "CWD /"):
            self.assertRefused("530", f.sendcmd, cmd)
        self.assertRefused("503", f.sendcmd, "PASS alice-pw")
        self.assertTrue(f.sendcmd("USER alice").startswith("331"))
        self.assertRefused("530", f.sendcmd, "SIZE x")  # still not signed in
        self.assertTrue(f.sendcmd("PASS " + PASSWORDS["alice"]).startswith("230"))
        for cmd, reply in (
            ("SYST", "215 UNIX Type: L8"),
            ("TYPE I", "200"),
            ("NOOP", "200"),
            ("PWD", '257 "/"'),
            ("CWD /", "250"),
            ("OPTS UTF8 ON", "200"),
        ):
            self.assertTrue(f.sendcmd(cmd).startswith(reply), cmd)
        feat = f.sendcmd("FEAT")
        self.assertTrue(feat.startswith("211"), feat)
        for feature in ("SIZE", "REST STREAM", "EPSV"):
            self.assertIn("\n " + feature + "\n", feat)
        self.assertRefused("550", f.sendcmd, "CWD /etc")
        self.assertTrue(f.sendcmd("QUIT").startswith("221"))

    def test_sign_in_against_the_user_directory(self):
        cases = [
            # user, password, expected reply
            ("alice", PASSWORDS["alice"], "230"),
            ("ALICE", PASSWORDS["alice"], "230"),  # letters folded
            ("alice", "wrong", "530"),
            ("alice", PASSWORDS["alice"].upper(), "530"),
            ("bob", PASSWORDS["bob"], "530"),  # disabled
            ("nobody", "pw", "530"),
        ]
        for user, password, code in cases:
            with self.subTest(user=user, password=password):
                f = self.ftp(user=None)
                f.sendcmd("USER " + user)
                started = time.monotonic()
                if code == "230":
                    self.assertTrue(f.sendcmd("PASS " + password).startswith("230"))
                    self.assertTrue(f.sendcmd("NOOP").startswith("200"))
                    continue
                self.assertRefused(code, f.sendcmd, "PASS " + password)
                self.assertGreaterEqual(time.monotonic() - started, 0.9, "a refusal comes after a pause")
                self.assertRefused("530", f.sendcmd, "SIZE x")
                # The same connection may sign in again afterwards.
                self.assertTrue(f.login("alice", PASSWORDS["alice"]).startswith("230"))

    def test_upload_then_size_and_download_with_each_client(self):
        cases = [
            # uploader, downloader, bytes
            ("ftplib pasv", "ftplib pasv", 1_500_000),
            ("ftplib port", "ftplib port", 700_001),
            ("ftplib pasv", "ftplib port", 0),
            ("curl pasv", "curl pasv", 1_500_000),
            ("curl port", "curl port", 1_234_567),
            ("lftp pasv", "lftp pasv", 1_500_000),
            ("lftp port", "lftp port", 999_999),
            ("lftp pasv", "curl port", 1_000_000),
        ]
        for up, down, size in cases:
            with self.subTest(upload=up, download=down, size=size):
                name, data = guid(), os.urandom(size)
                self.upload(up, name, data)
                self.assertEqual(sha(self.read(self.server.path(name))), sha(data))
                self.assertEqual(self.ftp().size(name), size)
                got = self.download(down, name)
                self.assertEqual(len(got), size)
                self.assertEqual(sha(got), sha(data))

    def test_interrupted_download_resumes_at_its_offset(self):
        name, data = guid(), os.urandom(1_500_000)
        self.upload("ftplib pasv", name, data)
        cut = 1_000_000
        # The first attempt ends after `cut` bytes: the client drops the data connection.
        f = self.ftp()
        f.voidcmd("TYPE I")
        conn = f.transfercmd("RETR " + name)
        head = b""
        while len(head) < cut:
            chunk = conn.recv(min(65536, cut - len(head)))
            self.assertTrue(chunk)
            head += chunk
        conn.close()
        try:
            f.voidresp()  # 226 when everything was sent already, else 426
        except ftplib.error_temp as e:
            self.assertTrue(str(e).startswith("426"), e)
        self.assertTrue(f.sendcmd("NOOP").startswith("200"))

        with self.subTest(client="ftplib rest=1000000"):
            for passive in (True, False):
                rest = []
                self.ftp(passive=passive).retrbinary("RETR " + name, rest.append, rest=cut)
                self.assertEqual(sha(b"".join(rest)), sha(data[cut:]))
                self.assertEqual(sha(head + b"".join(rest)), sha(data))
        with self.subTest(client="curl -C 1000000"):
            out = self.local("partial", head)
            r = self.curl("-C", str(cut), "-o", out, self.url(name))
            self.assertEqual(r.returncode, 0, r.stderr)
            self.assertEqual(sha(self.read(out)), sha(data))
        with self.subTest(client="REST at and past the end"):
            f = self.ftp()
            f.voidcmd("TYPE I")
            self.assertEqual(f.retrbinary("RETR " + name, self.fail, rest=len(data))[:3], "226")
            self.assertRefused("5", lambda: f.retrbinary("RETR " + name, self.fail, rest=len(data) + 1))
            self.assertRefused("501", f.sendcmd, "REST -1")
            self.assertRefused("501", f.sendcmd, "REST abc")

    def test_offsets_beyond_4_gib(self):
        size = 5 * 1024**3
        tail = os.urandom(100)
        name = guid()
        self.place(name, size, tail)
        f = self.ftp()
        self.assertEqual(f.size(name), size)
        for passive in (True, False):
            with self.subTest(passive=passive):
                f.set_pasv(passive)
                got = []
                f.retrbinary("RETR " + name, got.append, rest=size - 100)
                self.assertEqual(b"".join(got), tail)
        out = self.local("tail")
        r = self.curl("-C", str(size - 100), "-o", out, self.url(name))
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(self.read(out), tail)

    def test_missing_and_unservable_names(self):
        # A file beside the upload folder that no name may reach.
        outside = os.path.join(self.server.dir, "outside.txt")
        with open(outside, "wb") as f:
            f.write(b"not for download\n")
        self.addCleanup(os.remove, outside)
        src = self.local("bad", b"written through a bad name")
        before_root = sorted(os.listdir(self.server.dir))
        before_folder = sorted(os.listdir(self.server.folder()))
        f = self.ftp()
        f.voidcmd("TYPE I")
        missing = guid()
        self.assertRefused("550", f.sendcmd, "SIZE " + missing)
        self.assertRefused("550", f.retrbinary, "RETR " + missing, self.fail)
        bad_names = [
            "../outside.txt",
            "..",
            ".",
            "/etc/passwd",
            os.path.join(self.server.dir, "outside.txt"),
            "a/b",
            "..\\outside.txt",
            "x\\y",
            "Files/../../outside.txt",
            "name\x01with-control",
            "tab\tname",
            "del\x7fname",
            "nul\x00name",
            "x" * 256,
        ]
        for name in bad_names:
            with self.subTest(name=repr(name)):
                self.assertRefused("5", f.sendcmd, "SIZE " + name)
                self.assertRefused("5", f.retrbinary, "RETR " + name, self.fail)
                with open(src, "rb") as data:
                    self.assertRefused("5", f.storbinary, "STOR " + name, data)
        self.assertTrue(f.sendcmd("NOOP").startswith("200"))
        self.assertEqual(sorted(os.listdir(self.server.dir)), before_root)
        self.assertEqual(sorted(os.listdir(self.server.folder())), before_folder)
        self.assertEqual(self.read(outside), b"not for download\n")

    def test_stored_files_are_never_replaced(self):
        name, data = guid(), os.urandom(300_000)
        self.upload("ftplib pasv", name, data)
        for how in ("ftplib pasv", "ftplib port", "curl pasv", "lftp pasv"):
            with self.subTest(client=how):
                other = os.urandom(1000)
                if how.startswith("ftplib"):
                    with open(self.local("other", other), "rb") as src:
                        self.assertRefused("553", self.ftp(passive=how == "ftplib pasv").storbinary, "STOR " + name,
                                           src)
                elif how.startswith("curl"):
                    r = self.curl("-v", "-T", self.local("other", other), self.url(name))
                    self.assertNotEqual(r.returncode, 0)
                    self.assertIn(b"< 553", r.stderr)
                else:
                    r = self.lftp(True, f"put {self.local('other', other)} -o {name}")
                    self.assertNotEqual(r.returncode, 0)
                self.assertEqual(sha(self.read(self.server.path(name))), sha(data))
                self.assertEqual(sha(self.download("ftplib pasv", name)), sha(data))
        # Uploads are not resumed: REST before STOR is refused.
        f = self.ftp()
        fresh = guid()
        self.assertTrue(f.sendcmd("REST 10").startswith("350"))
        with open(self.local("x", b"x"), "rb") as src:
            self.assertRefused("5", f.storbinary, "STOR " + fresh, src)
        self.assertFalse(os.path.exists(self.server.path(fresh)))

    def test_uploads_beyond_the_size_limit(self):
        cases = [
            # bytes, client, accepted
            (LIMIT, "ftplib", True),
            (LIMIT + 1, "ftplib", False),
            (3 * LIMIT, "ftplib", False),
            (LIMIT, "curl", True),
            (LIMIT + 1, "curl", False),
        ]
        for size, how, accepted in cases:
            with self.subTest(size=size, client=how):
                name, data = guid(), os.urandom(size)
                if how == "curl":
                    r = self.curl("-v", "-T", self.local("big", data), self.url(name))
                    if accepted:
                        self.assertEqual(r.returncode, 0, r.stderr)
                    else:
                        self.assertIn(b"< 552", r.stderr)
                        self.assertNotEqual(r.returncode, 0)
                else:
                    f = self.ftp()
                    f.voidcmd("TYPE I")
                    conn = f.transfercmd("STOR " + name)
                    try:
                        conn.sendall(data)
                    except OSError:
                        pass  # the server may close the data connection first
                    conn.close()
                    if accepted:
                        self.assertTrue(f.voidresp().startswith("226"))
                    else:
                        self.assertRefused("552", f.voidresp)
                    self.assertTrue(f.sendcmd("NOOP").startswith("200"))
                if accepted:
                    self.assertEqual(self.ftp().size(name), size)
                else:
                    self.assertFalse(os.path.exists(self.server.path(name)))
                    self.assertRefused("550", self.ftp().sendcmd, "SIZE " + name)

    def test_data_connections_go_only_to_the_client(self):
        name, data = guid(), os.urandom(5000)
        self.upload("ftplib pasv", name, data)
        trap = socket.socket()
        trap.bind(("127.0.0.2", 0))
        trap.listen(1)
        trap.settimeout(0.5)
        self.addCleanup(trap.close)
        p = trap.getsockname()[1]
        f = self.ftp()
        f.voidcmd("TYPE I")
        for cmd in (f"PORT 127,0,0,2,{p // 256},{p % 256}", f"EPRT |1|127.0.0.2|{p}|",
                    "PORT 127,0,0,1,0,21", "EPRT |1|127.0.0.1|21|", "PORT 10,0,0,1,200,10", "PORT 127,0,0,1,300,1",
                    "EPRT |2|::1|5000|"):
            with self.subTest(cmd=cmd):
                self.assertRefused("5", f.sendcmd, cmd)
                # No data target is set: the next RETR fails without connecting anywhere.
                self.assertTrue(f.sendcmd("RETR " + name).startswith("150"))
                self.assertRefused("425", f.voidresp)
                with self.assertRaises(socket.timeout):
                    trap.accept()
        # The client's own address is fine.
        got = []
        f.set_pasv(False)
        f.retrbinary("RETR " + name, got.append)
        self.assertEqual(b"".join(got), data)

    def test_passive_ports_come_from_the_range_and_are_reused(self):
        name, data = guid(), os.urandom(20_000)
        self.upload("ftplib pasv", name, data)
        low, high = self.server.passive
        f = self.ftp()
        f.voidcmd("TYPE I")
        # Each closed data connection leaves its port in TIME_WAIT; the range must serve
        # many more transfers than it has ports all the same.
        for i in range(3 * (high - low + 1)):
            if i % 2:
                port = ftplib.parse229(f.sendcmd("EPSV"), (HOST, 0))[1]
            else:
                port = ftplib.parse227(f.sendcmd("PASV"))[1]
            self.assertTrue(low <= port <= high, port)
            with socket.create_connection((HOST, port), timeout=15) as conn:
                self.assertTrue(f.sendcmd("RETR " + name).startswith("150"))
                got = b""
                while chunk := conn.recv(65536):
                    got += chunk
            self.assertTrue(f.voidresp().startswith("226"))
            self.assertEqual(got, data)

    def test_abor_stops_a_running_download(self):
        size = 2 * 1024**3
        name = guid()
        self.place(name, size)
        for passive in (True, False):
            with self.subTest(passive=passive):
                f = self.ftp(passive=passive)
                f.voidcmd("TYPE I")
                conn = f.transfercmd("RETR " + name)
                self.assertGreater(len(conn.recv(65536)), 0)
                # ftplib sends ABOR as urgent data.
                self.assertTrue(f.abort().startswith("426"))
                self.assertTrue(f.voidresp().startswith("226"))
                self.assertTrue(f.sendcmd("NOOP").startswith("200"))
                conn.settimeout(15)
                received = 65536
                while True:
                    chunk = conn.recv(1 << 20)
                    if not chunk:
                        break
                    received += len(chunk)
                conn.close()
                self.assertLess(received, size // 4, "the transfer went on after ABOR")
                # The control connection serves the next transfer.
                got = []
                f.retrbinary("RETR " + name, got.append, rest=size - 10)
                self.assertEqual(b"".join(got), bytes(10))
        f = self.ftp()
        self.assertTrue(f.sendcmd("ABOR").startswith("225"))

    def test_upload_folder_follows_tempdic(self):
        # tempDic names a missing folder: uploads land in "Files" beside config.ini.
        first = guid()
        self.upload("curl pasv", first, b"first")
        self.assertEqual(self.read(self.server.path(first)), b"first")
        # Once the folder exists, it takes the uploads.
        configured = os.path.join(self.server.dir, "uploads")
        os.mkdir(configured)
        try:
            second = guid()
            self.upload("ftplib pasv", second, b"second")
            self.assertEqual(self.read(os.path.join(configured, second)), b"second")
            self.assertFalse(os.path.exists(self.server.path(second)))
            self.assertRefused("550", self.ftp().sendcmd, "SIZE " + first)
        finally:
            for n in os.listdir(configured):
                os.remove(os.path.join(configured, n))
            os.rmdir(configured)
        self.assertEqual(self.ftp().size(first), 5)


class IdleTimeoutTest(unittest.TestCase):
    def test_idle_connections_are_closed(self):
        server = Server(idle_timeout=1)
        try:
            f = ftplib.FTP(timeout=10)
            f.connect(HOST, server.port)
            f.login("alice", PASSWORDS["alice"])
            busy = ftplib.FTP(timeout=10)
            busy.connect(HOST, server.port)
            busy.login("alice", PASSWORDS["alice"])
            for _ in range(4):  # commands keep a connection open
                time.sleep(0.5)
                self.assertTrue(busy.sendcmd("NOOP").startswith("200"))
            with self.assertRaises(ftplib.error_temp) as caught:
                f.getresp()
            self.assertTrue(str(caught.exception).startswith("421"), caught.exception)
            self.assertEqual(f.sock.recv(10), b"")  # closed
            f.close()
            busy.close()
        finally:
            self.assertEqual(server.stop(), 0)


def main():
    global SERVER
    argv = list(sys.argv)
    if "--server" in argv:
        i = argv.index("--server")
        SERVER = argv[i + 1]
        del argv[i:i + 2]
    if not SERVER or not os.access(SERVER, os.X_OK):
        sys.exit("usage: test_file_service.py --server PATH/TO/OskelServer [unittest options]")
    for tool in (CURL, LFTP):
        if not os.access(tool, os.X_OK):
            sys.exit(f"test_file_service.py: {tool} is missing")
    unittest.main(argv=argv, verbosity=2)


if __name__ == "__main__":
    main()
