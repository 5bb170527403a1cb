"""End-to-end benchmarks: wall time and peak memory of whole varnel runs against a fast
local SMTP sink, each beside a peer program doing the same job in the same run. Every
figure comes with the machine's load: on a busy machine the peers slow down more than
varnel does, so only figures taken idle (load under 0.5) count."""

import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.join(ROOT, "build", "default")
VARNEL = os.path.join(BUILD, "varnel")
SINK = os.path.join(BUILD, "bench", "smtp_sink")
TLS_THROUGHPUT = os.path.join(BUILD, "bench", "tls_throughput")
FLOOR = os.path.join(BUILD, "bench", "odbcfetch")
FLOOR_ONE_ROW = os.path.join(BUILD, "bench", "odbcfetch_one_row")


def run_measured(args, stdout=subprocess.DEVNULL, env=None):
    """Runs a command; returns (seconds, peak RSS in MB, exit code). The peak comes from
    GNU time: a forked child's own rusage would count the benchmark's memory too."""
    report = tempfile.NamedTemporaryFile(prefix="varnel-rss-", delete=False)
    report.close()
    start = time.perf_counter()
    done = subprocess.run(["/usr/bin/time", "-q", "-f", "%M", "-o", report.name, *args], stdout=stdout,
                          stderr=subprocess.PIPE, env=env)
    elapsed = time.perf_counter() - start
    if done.returncode != 0:
        sys.stderr.write(done.stderr.decode("utf-8", "replace"))
    with open(report.name) as f:
        peak = float(f.read().split()[-1]) / 1024.0
    os.unlink(report.name)
    return elapsed, peak, done.returncode


def median_of(count, measure):
    """Runs a measurement count times; the run with the median time (page cache and a
    shared machine make single runs noisy)."""
    runs = sorted((measure() for _ in range(count)), key=lambda run: run[0])
    return runs[len(runs) // 2]


class Sink:
    def __init__(self, *args):
        self.args = list(args)

    def __enter__(self):
        self.process = subprocess.Popen([SINK, *self.args], stdout=subprocess.PIPE)
        self.port = int(self.process.stdout.readline())
        return self

    def __exit__(self, *exc):
        self.process.kill()
        self.process.wait()


# Greets with EHLO (TLS when offered, as a careful caller asks): the sink then offers SIZE,
# so the message is sized before MAIL as for real relays.
SIZED = ", @tls=1"


def varnel_statement(port, extra=""):
    return ("exec xp_Varnel @recipient='dba@example.com', @from='sqlserver@example.com', "
            "@address='127.0.0.1', @smtpport=%d, @subject='Benchmark', @body='One small message.'%s"
            % (port, extra))


def bench_send(runs=200):
    print("== One small message per process, %d runs each, alternating (median) ==" % runs)
    work = tempfile.mkdtemp()
    message = os.path.join(work, "message.txt")
    with open(message, "w") as f:
        f.write("From: sqlserver@example.com\r\nTo: dba@example.com\r\nSubject: Benchmark\r\n\r\n"
                "One small message.\r\n")
    with Sink() as sink:
        results = {}
        commands = {
            "varnel": [VARNEL, varnel_statement(sink.port)],
            "curl": ["curl", "-s", "smtp://127.0.0.1:%d" % sink.port, "--mail-from", "sqlserver@example.com",
                     "--mail-rcpt", "dba@example.com", "-T", message],
        }
        # Runs alternate between the two, so that a busy moment of a shared machine falls on
        # both; each is timed alone (no /usr/bin/time around it), and the median counts.
        times = {name: [] for name in commands}
        for args in commands.values():
            subprocess.run(args, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)  # warm the page cache
        for _ in range(runs):
            for name, args in commands.items():
                start = time.perf_counter()
                done = subprocess.run(args, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                times[name].append(time.perf_counter() - start)
                if done.returncode != 0:
                    raise SystemExit("%s failed" % name)
        results = {name: statistics.median(values) for name, values in times.items()}
        for name, seconds in results.items():
            print("  %-8s %7.2f ms per message  %7.1f messages/s" % (name, seconds * 1000, 1 / seconds))
        print("  varnel / curl time per message: %.2f" % (results["varnel"] / results["curl"]))


def run_timed(args, stdout, env=None):
    """Runs a command under GNU time; returns (wall seconds, CPU seconds, peak RSS in MB)."""
    report = tempfile.NamedTemporaryFile(prefix="varnel-time-", delete=False)
    report.close()
    start = time.perf_counter()
    done = subprocess.run(["/usr/bin/time", "-q", "-f", "%U %S %M", "-o", report.name, *args], stdout=stdout,
                          stderr=subprocess.PIPE, env=env)
    elapsed = time.perf_counter() - start
    if done.returncode != 0:
        sys.stderr.write(done.stderr.decode("utf-8", "replace"))
        raise SystemExit("%s failed" % args[0])
    with open(report.name) as f:
        user, system, peak = f.read().split()[-3:]
    os.unlink(report.name)
    return elapsed, float(user) + float(system), float(peak) / 1024.0


def compare(label, runs, commands, rendered):
    """Runs the commands alternately (the first is varnel, sending into the sink; the others
    write what they render to a file); prints their medians (wall, CPU, peak RSS) and
    varnel's ratios to each. rendered is the file whose size is the rendered size."""
    results = {name: [] for name, _ in commands}
    for _ in range(runs):
        for name, run in commands:
            results[name].append(run())
    medians = {name: [statistics.median(run[i] for run in values) for i in range(3)]
               for name, values in results.items()}
    size = os.path.getsize(rendered) / 1e6
    print("  %s" % label)
    for name, (wall, cpu, rss) in medians.items():
        print("    %-8s wall %6.2f s  cpu %6.2f s  peak RSS %7.1f MB" % (name, wall, cpu, rss))
    ours = commands[0][0]
    for name, _ in commands[1:]:
        print("    %s / %s: wall %.2f  cpu %.2f" % (ours, name, medians[ours][0] / medians[name][0],
                                                    medians[ours][1] / medians[name][1]))
    print("    %s peak RSS %.1f MB for %.1f MB rendered" % (ours, medians[ours][2], size))


def machine_state():
    with open("/proc/loadavg") as f:
        load = f.read().split()[:3]
    return "load average %s on %d CPUs (%s)" % (" ".join(load), os.cpu_count(),
                                                "idle" if float(load[0]) < 0.5 else "busy: figures flatter varnel")


QUERY = "select id, name, note from t"


def make_sqlite_rows(database, rows):
    script = ("create table t (id int, name varchar(50), note text);\n"
              "with recursive n(i) as (select 1 union all select i + 1 from n where i < %d)\n"
              "insert into t select i, 'name number ' || i, printf('%%.100c', 'x') from n;\n" % rows)
    subprocess.run(["sqlite3", database], input=script.encode(), check=True)


def bench_query_sqlite(rows, runs):
    print("== %d SQLite rows, varnel beside sqlite3 and the floor program (odbcfetch), %d alternating runs "
          "(medians); %s ==" % (rows, runs, machine_state()))
    work = tempfile.mkdtemp()
    database = os.path.join(work, "rows.db")
    make_sqlite_rows(database, rows)
    peer_output = os.path.join(work, "peer.out")
    floor_output = os.path.join(work, "floor.out")
    env = dict(os.environ, VARNEL_ODBC_DRIVER="SQLite3")
    # The connection string varnel itself builds for this driver (rows stepped, not loaded).
    connection = "DRIVER={SQLite3};DATABASE=%s;StepAPI=1;" % database
    with Sink() as sink:
        for label, html, peer_mode in (("HTML body against sqlite3 -html and the floor", True, "-html"),
                                       ("text body against sqlite3 -csv", False, "-csv")):
            statement = varnel_statement(sink.port, SIZED + "%s, @query='%s', @qdatabase='%s', @qbind=0"
                                         % (", @html=1" if html else "", QUERY, database))

            def peer(mode=peer_mode):
                with open(peer_output, "wb") as out:
                    return run_timed(["sqlite3", mode, database, QUERY], out)

            def floor(program=FLOOR):
                with open(floor_output, "wb") as out:
                    return run_timed([program, connection, QUERY], out)
            commands = [("varnel", lambda: run_timed([VARNEL, statement], subprocess.DEVNULL, env)),
                        ("sqlite3", peer)]
            if html:
                # The driver cannot read a row of a block again: a client that must return
                # values longer than the floor's slots whole fetches one row at a time.
                commands += [("floor", floor), ("floor-1", lambda: floor(FLOOR_ONE_ROW))]
            compare(label, runs, commands, peer_output)
    print("  after the runs: %s" % machine_state())
    shutil.rmtree(work)


def bench_query_postgres(rows, runs):
    """Runs inside scripts/with-postgres, which provides the server and the ODBC driver."""
    print("== %d PostgreSQL rows through psqlODBC, varnel beside psql -H -A and the floor program, %d alternating "
          "runs (medians); %s ==" % (rows, runs, machine_state()))
    port, user = os.environ["VARNEL_PG_PORT"], os.environ["VARNEL_PG_USER"]
    password, database = os.environ["VARNEL_PG_PASSWORD"], os.environ["VARNEL_PG_DATABASE"]
    psql = ["psql", "-X", "-q", "-h", "127.0.0.1", "-p", port, "-U", user, "-d", database]
    env = dict(os.environ, PGPASSWORD=password)
    subprocess.run(psql + ["-v", "ON_ERROR_STOP=1", "-c", "create table t (id int, name varchar(50), note text)",
                           "-c", "insert into t select i, 'name number ' || i, repeat('x', 100) "
                                 "from generate_series(1, %d) as i" % rows, "-c", "vacuum analyze t"],
                   env=env, check=True, stdout=subprocess.DEVNULL)
    work = tempfile.mkdtemp()
    peer_output = os.path.join(work, "peer.out")
    floor_output = os.path.join(work, "floor.out")
    varnel_env = dict(os.environ, VARNEL_ODBC_DRIVER="PostgreSQL ANSI", VARNEL_ODBC_ATTRIBUTES="Port=%s;" % port)
    # The connection string varnel builds: rows through a server-side cursor.
    connection = ("DRIVER={PostgreSQL ANSI};SERVER=127.0.0.1;DATABASE=%s;UID=%s;PWD={%s};UseDeclareFetch=1;"
                  "Fetch=5000;Port=%s;" % (database, user, password.replace("}", "}}"), port))
    with Sink() as sink:
        statement = varnel_statement(sink.port, SIZED + ", @html=1, @query='%s', @qserver='127.0.0.1', @qdatabase='%s', "
                                     "@quser='%s', @qpassword='%s', @qbind=0" % (QUERY, database, user, password))

        def peer():
            with open(peer_output, "wb") as out:
                return run_timed(psql + ["-H", "-A", "-c", QUERY], out, env)

        def floor():
            with open(floor_output, "wb") as out:
                return run_timed([FLOOR, connection, QUERY], out)
        compare("HTML body against psql -H -A -c and the floor", runs,
                [("varnel", lambda: run_timed([VARNEL, statement], subprocess.DEVNULL, varnel_env)),
                 ("psql", peer), ("floor", floor)], peer_output)
    print("  after the runs: %s" % machine_state())
    shutil.rmtree(work)


def bench_query(rows=1000000, runs=5):
    bench_query_sqlite(rows, runs)
    # The PostgreSQL part needs a throwaway server: the same script again, inside it.
    subprocess.run([os.path.join(ROOT, "scripts", "with-postgres"), "/usr/bin/python3", os.path.abspath(__file__),
                    "query-postgres", str(rows), str(runs)], check=True)


def bench_memory(rows=10000000, body_mb=50):
    """Peak memory of one call whatever the size: a result of rows rows as an HTML body,
    and a body of body_mb megabytes."""
    print("== Peak memory: %d SQLite rows as an HTML body, a %d MB @body; %s ==" % (rows, body_mb, machine_state()))
    work = tempfile.mkdtemp()
    database = os.path.join(work, "rows.db")
    make_sqlite_rows(database, rows)
    env = dict(os.environ, VARNEL_ODBC_DRIVER="SQLite3", VARNEL_TEMP_FOLDER=work)
    with Sink() as sink:
        statement = varnel_statement(sink.port, SIZED + ", @html=1, @query='%s', @qdatabase='%s', @qbind=0"
                                     % (QUERY, database))
        wall, cpu, rss = run_timed([VARNEL, statement], subprocess.DEVNULL, env)
        verdict = "within" if rss <= 32 * 1.048576 else "OVER"
        print("  %d rows     wall %6.2f s  cpu %6.2f s  peak RSS %6.1f MB (%s 32 MiB)" % (rows, wall, cpu, rss, verdict))
        script = os.path.join(work, "body.sql")
        line = "0123456789" * 9 + "abcdefgh\r\n"
        body = line * (body_mb * 1000000 // len(line))
        with open(script, "w") as f:
            f.write(varnel_statement(sink.port, SIZED).replace("@body='One small message.'", "@body='%s'" % body))
        wall, cpu, rss = run_timed([VARNEL, "-i", script], subprocess.DEVNULL)
        print("  %d MB body  wall %6.2f s  cpu %6.2f s  peak RSS %6.1f MB (%.2f x the body)"
              % (body_mb, wall, cpu, rss, rss / (len(body) / 1e6)))
    print("  after the runs: %s" % machine_state())
    shutil.rmtree(work)


def make_files(work, size):
    binary = os.path.join(work, "random.bin")
    with open(binary, "wb") as f:
        f.write(os.urandom(size))
    text = os.path.join(work, "text.txt")
    line = b"The quick brown fox jumps over the lazy dog. 0123456789 = tab\there.\n"
    with open(text, "wb") as f:
        f.write(line * (size // len(line)))
    return binary, text


def bench_attachment(size=100 * 1000 * 1000):
    print("== One message with a %d MB attachment (median of 3; python once) ==" % (size // 1000000))
    work = tempfile.mkdtemp()
    binary, text = make_files(work, size)
    small_binary, small_text = make_files(tempfile.mkdtemp(), 1000 * 1000)
    python_peer = os.path.join(ROOT, "bench", "smtplib_peer.py")
    with Sink() as sink:
        for label, path in (("base64", binary), ("quoted-printable", text)):
            statement = varnel_statement(sink.port, SIZED + ", @attachments='%s'" % path)
            seconds, rss, code = median_of(3, lambda: run_measured([VARNEL, statement]))
            mb = os.path.getsize(path) / 1e6
            print("  %-17s varnel  %7.1f MB/s  peak RSS %6.1f MB" % (label, mb / seconds, rss))
            encoder = "base64" if label == "base64" else "quoted-printable"
            curl = ["curl", "-s", "smtp://127.0.0.1:%d" % sink.port, "--mail-from", "a@example.com",
                    "--mail-rcpt", "b@example.com", "-F", "=@%s;encoder=%s" % (path, encoder)]
            seconds, rss, code = median_of(3, lambda: run_measured(curl))
            print("  %-17s curl    %7.1f MB/s  peak RSS %6.1f MB" % (label, mb / seconds, rss))
            seconds, rss, code = run_measured(["/usr/bin/python3", python_peer, str(sink.port), path])
            print("  %-17s python  %7.1f MB/s  peak RSS %6.1f MB" % (label, mb / seconds, rss))
        for label, path in (("base64 1 MB", small_binary), ("qp 1 MB", small_text)):
            _, rss, _ = run_measured([VARNEL, varnel_statement(sink.port, SIZED + ", @attachments='%s'" % path)])
            print("  %-17s varnel  peak RSS %6.1f MB" % (label, rss))


def system_store_with(ca, where):
    """A copy of the system's hashed certificate folder with one more root, as a machine
    has it once its administrator installed a company CA (update-ca-certificates): the
    system's roots stay, looked up by subject hash when a chain needs them."""
    store = os.path.join(where, "certs")
    os.mkdir(store)
    system = "/etc/ssl/certs"
    for name in os.listdir(system):
        if name.endswith(".pem"):
            os.symlink(os.path.realpath(os.path.join(system, name)), os.path.join(store, name))
    shutil.copy(ca, os.path.join(store, "varnel-bench-ca.pem"))
    subprocess.run(["openssl", "rehash", store], check=True)
    return store


def bench_tls(size=100 * 1000 * 1000, runs=100):
    """STARTTLS into the sink: the TLS layer alone, a 100 MB binary attachment (base64)
    with varnel @tls=2 against curl --ssl-reqd, and one small message per process. varnel
    trusts the system's store as a user has it (the test CA installed into the hashed
    folder, SSL_CERT_DIR naming that folder); no TlsCaFile, no SSL_CERT_FILE of the test's."""
    print("== STARTTLS: %d MB binary attachment (median of 3), one small message per process (%d runs); %s =="
          % (size // 1000000, runs, machine_state()))
    pki = tempfile.mkdtemp(prefix="varnel-pki.")
    subprocess.run([os.path.join(ROOT, "tests", "tls", "make_pki.sh"), pki], check=True, stdout=subprocess.DEVNULL)
    ca = os.path.join(pki, "ca.pem")
    store = system_store_with(ca, pki)
    env = dict(os.environ, SSL_CERT_DIR=store)
    env.pop("VARNEL_TLS_CA_FILE", None)
    print("  varnel trusts the system's roots (%d in %s) plus the test CA; SSL_CERT_FILE %s"
          % (len(os.listdir(store)) // 2, store, env.get("SSL_CERT_FILE", "unset")))
    binary, _ = make_files(tempfile.mkdtemp(), size)
    mb = size / 1e6
    with Sink("--tls", os.path.join(pki, "good.pem"), os.path.join(pki, "leaf.key")) as sink:
        layer = []
        for _ in range(3):
            done = subprocess.run([TLS_THROUGHPUT, str(sink.port), str(mb * 4 / 3), ca], capture_output=True, env=env)
            if done.returncode != 0:
                raise SystemExit("tls_throughput failed: " + done.stderr.decode())
            layer.append(float(done.stdout.split()[0]))
        print("  TLS layer alone  %7.1f MB/s of base64 lines (median of 3)" % statistics.median(layer))

        statement = varnel_statement(sink.port, ", @tls=2, @attachments='%s'" % binary)
        seconds, rss, code = median_of(3, lambda: run_measured([VARNEL, statement], env=env))
        varnel_rate = mb / seconds if code == 0 else None
        if code == 0:
            print("  base64 varnel    %7.1f MB/s  peak RSS %6.1f MB" % (varnel_rate, rss))
        else:
            print("  base64 varnel    failed (exit %d)" % code)
        curl = ["curl", "-s", "--ssl-reqd", "--cacert", ca, "smtp://127.0.0.1:%d" % sink.port,
                "--mail-from", "a@example.com", "--mail-rcpt", "b@example.com", "-F", "=@%s;encoder=base64" % binary]
        seconds, rss, code = median_of(3, lambda: run_measured(curl, env=env))
        curl_rate = mb / seconds
        print("  base64 curl      %7.1f MB/s  peak RSS %6.1f MB%s" % (curl_rate, rss, "" if code == 0 else " (failed)"))
        if varnel_rate:
            print("  varnel / curl throughput: %.2f" % (varnel_rate / curl_rate))

        message = os.path.join(pki, "message.txt")
        with open(message, "w") as f:
            f.write("From: sqlserver@example.com\r\nTo: dba@example.com\r\nSubject: Benchmark\r\n\r\n"
                    "One small message.\r\n")
        curl_small = ["curl", "-s", "--ssl-reqd", "smtp://127.0.0.1:%d" % sink.port, "--mail-from",
                      "sqlserver@example.com", "--mail-rcpt", "dba@example.com", "-T", message]
        commands = {
            "varnel": [VARNEL, varnel_statement(sink.port, ", @tls=2")],
            "curl --cacert": curl_small[:3] + ["--cacert", ca] + curl_small[3:],
            "curl --capath": curl_small[:3] + ["--capath", store] + curl_small[3:],
        }
        if varnel_rate is None:
            del commands["varnel"]
        times = {name: [] for name in commands}
        for _ in range(runs):
            for name, args in commands.items():
                start = time.perf_counter()
                done = subprocess.run(args, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env)
                times[name].append(time.perf_counter() - start)
                if done.returncode != 0:
                    raise SystemExit("%s failed" % name)
        results = {name: statistics.median(values) for name, values in times.items()}
        for name, seconds in results.items():
            print("  small %-14s %7.2f ms per message" % (name, seconds * 1000))
        if "varnel" in results:
            print("  varnel / curl --cacert time per message: %.2f" % (results["varnel"] / results["curl --cacert"]))
    print("  after the runs: %s" % machine_state())
    shutil.rmtree(pki)


if __name__ == "__main__":
    which = sys.argv[1] if len(sys.argv) > 1 else "all"
    if which in ("send", "all"):
        bench_send()
    if which in ("query", "all"):
        bench_query(*(int(value) for value in sys.argv[2:4]))
    if which == "query-postgres":
        bench_query_postgres(int(sys.argv[2]), int(sys.argv[3]))
    if which in ("attachment", "all"):
        bench_attachment()
    if which in ("tls", "all"):
        bench_tls()
    if which in ("memory", "all"):
        bench_memory(*(int(value) for value in sys.argv[2:3]))
