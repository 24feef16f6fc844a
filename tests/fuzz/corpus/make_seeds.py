#!/usr/bin/env python3
# Writes the seed corpus of every fuzz target into tests/fuzz/corpus/<target>/: a handful of
# real inputs of the kind each target's parser expects (agent link messages as in
# docs/agent-link.md, console datagrams, SNMP answers, API requests, posted messages, pages and
# URL configuration lines, records of the example metafiles' tables). The files are checked in;
# run this again only to change them:  python3 tests/fuzz/corpus/make_seeds.py
import os
import shutil
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def write(target, name, data):
    folder = os.path.join(HERE, target)
    os.makedirs(folder, exist_ok=True)
    if isinstance(data, str):
        data = data.encode()
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


# --- agent link messages: a length word, then fields (16-bit code, 32-bit length, data).
def field(code, data):
    if isinstance(data, str):
        data = data.encode()
    return struct.pack(">HI", code, len(data)) + data


def message(*fields):
    body = b"".join(fields)
    return struct.pack(">I", len(body) + 4) + body


def request(code):
    return field(0x0010, struct.pack(">H", code))


def u16(v):
    return struct.pack(">H", v)


def u32(v):
    return struct.pack(">I", v & 0xFFFFFFFF)


REGISTER = message(request(0x1010), field(0x0020, "Shop"), field(0x0090, "h"),
                   field(0x0022, "T"), field(0x0090, ""), field(0x0030, "E"),
                   field(0x0040, u32(300)), field(0x0060, "@Busy,G,4, , ;"))
WAIT = message(request(0x1040), field(0x0100, u16(1)), field(0x0021, "vm"))
ONLINE = message(request(0x1015), field(0x0020, "Shop"), field(0x0022, "T"),
                 field(0x0021, "vm"))
DATA = message(request(0x1030), field(0x0080, u32(1)), field(0x0070, u16(0)),
               field(0x0050, "Busy"), field(0x0051, b"G" + u32(42)),
               field(0x0050, "Pct"), field(0x0051, b"G" + u16(300)),
               field(0x0050, "Name"), field(0x0051, b"Dweb server 1"))
OFFLINE = message(request(0x1025), field(0x0080, u32(1)))
UNREGISTER = message(request(0x1020), field(0x0020, "Shop"))
STATUS0 = message(field(0x0011, u32(0)))
STATUS2 = message(field(0x0011, u32(2)))
STATUS_HANDLE = message(field(0x0011, u32(0)), field(0x0080, u32(1)))
STATUS_MINUS3 = message(field(0x0011, u32(-3)))
PROVIDE = message(request(0x1060), field(0x0021, "vm"), field(0x0100, u32(1)),
                  field(0x0110, "restart"), field(0x0120, u32(42)), field(0x0130, "-f"),
                  field(0x0150, "ops"))
PROVIDE_CONTROL = message(request(0x1060), field(0x0021, "vm"), field(0x0100, u32(5)),
                          field(0x0110, "DP_CONTROL"), field(0x0120, u32(7)),
                          field(0x0130, "URLADD http://h/ USER=ops"), field(0x0150, "sysadmin"))
ACTION_STATUS = message(request(0x1050), field(0x0120, u32(42)), field(0x0011, u32(0)),
                        field(0x0140, "hi"))


def agent_link():
    # The agent peer reads what the data provider sends; the first byte picks the read size.
    for name, data in [("register", REGISTER), ("wait", WAIT), ("online", ONLINE),
                       ("data", DATA), ("offline", OFFLINE), ("unregister", UNREGISTER),
                       ("action_status", ACTION_STATUS)]:
        write("fuzz_dch_decode", name, b"\x3f" + data)
    write("fuzz_dch_decode", "session_split", b"\x06" + REGISTER + WAIT + ONLINE + DATA + OFFLINE)
    write("fuzz_dch_decode", "descriptions", b"\x00@Busy,G,4, , ;$Name,D,32,a b,help;Pct,G,2, , ;")
    # The data provider reads what the agent sends.
    for name, data in [("status0", STATUS0), ("status2", STATUS2),
                       ("status_handle", STATUS_HANDLE), ("status_lost", STATUS_MINUS3),
                       ("provide", PROVIDE)]:
        write("fuzz_agentlink_receive", name, b"\x60" + data)
    write("fuzz_agentlink_receive", "replies_split",
          b"\x04" + STATUS0 + STATUS_HANDLE + PROVIDE + STATUS2)
    write("fuzz_actions", "provide", PROVIDE)
    write("fuzz_actions", "provide_control", PROVIDE_CONTROL)
    write("fuzz_actions", "provide_no_parm",
          message(request(0x1060), field(0x0021, "vm"), field(0x0100, u32(1)),
                  field(0x0110, "df -k"), field(0x0120, u32(9)), field(0x0150, "ops")))


def console():
    for name, text in [("list", "LIST"), ("show", "SHOW FuzzApp"), ("check", "check fuzzapp"),
                       ("getport", "GETPORT"), ("ping", "PING"), ("stats", "STATS"),
                       ("loadlist", "LOADLIST nodes.lst"), ("loadcomm", "LOADCOMM"),
                       ("set", "SET\tX=1\n"), ("show_metafile", "show &FUZZAPP")]:
        write("fuzz_console", name, text)


def console_seal():
    # Seals with a digest that is not the key's (a good one would be a forgery to the target),
    # cut ones, and plain commands.
    digest = "0123456789abcdef" * 4
    for name, text in [("sealed_delete", "QDVPAUTH1 1764970000 0123456789abcdef %s DELETE a.mdl" % digest),
                       ("sealed_shutdown", "QDVPAUTH1 1764970000 fedcba9876543210 %s SHUTDOWN" % digest),
                       ("cut_digest", "QDVPAUTH1 1764970000 0123456789abcdef 0123 LIST"),
                       ("no_command", "QDVPAUTH1 1764970000 0123456789abcdef %s" % digest),
                       ("bare_word", "QDVPAUTH1"), ("plain", "IMPORT /etc/shadow")]:
        write("fuzz_console_seal", name, text)


def ber(tag, contents):
    n = len(contents)
    if n < 0x80:
        length = bytes([n])
    elif n < 0x100:
        length = bytes([0x81, n])
    else:
        length = bytes([0x82, n >> 8, n & 0xFF])
    return bytes([tag]) + length + contents


def ber_int(v, tag=0x02):
    data = v.to_bytes(max(1, (v.bit_length() + 8) // 8), "big", signed=True)
    return ber(tag, data)


def oid(text):
    parts = [int(p) for p in text.split(".")]
    out = bytes([40 * parts[0] + parts[1]])
    for p in parts[2:]:
        chunk = [p & 0x7F]
        p >>= 7
        while p:
            chunk.insert(0, 0x80 | (p & 0x7F))
            p >>= 7
        out += bytes(chunk)
    return ber(0x06, out)


def snmp_response(bindings, request_id=7, status=0, index=0):
    varbinds = b"".join(ber(0x30, oid(o) + v) for o, v in bindings)
    pdu = ber_int(request_id) + ber_int(status) + ber_int(index) + ber(0x30, varbinds)
    return ber(0x30, ber_int(0) + ber(0x04, b"public") + ber(0xA2, pdu))


def snmp():
    write("fuzz_snmp", "system", snmp_response([
        ("1.3.6.1.2.1.1.1.0", ber(0x04, b"Linux router 6.1.0 x86_64")),
        ("1.3.6.1.2.1.1.2.0", oid("1.3.6.1.4.1.8072.3.2.10")),
        ("1.3.6.1.2.1.1.3.0", ber_int(123456, 0x43)),
        ("1.3.6.1.2.1.1.5.0", ber(0x04, b"router1"))]))
    write("fuzz_snmp", "iftable", snmp_response([
        ("1.3.6.1.2.1.2.2.1.1.1", ber_int(1)),
        ("1.3.6.1.2.1.2.2.1.10.1", ber_int(4000000000, 0x41)),
        ("1.3.6.1.2.1.2.2.1.5.1", ber_int(1000000000, 0x42)),
        ("1.3.6.1.4.1.9.9.1", ber(0x46, (2**40).to_bytes(6, "big"))),
        ("1.3.6.1.2.1.4.20.1.1", ber(0x40, bytes([10, 0, 0, 1])))]))
    write("fuzz_snmp", "exceptions", snmp_response([
        ("1.3.6.1.2.1.1.9.0", ber(0x80, b"")), ("1.3.6.1.2.1.1.9.1", ber(0x81, b"")),
        ("1.3.6.1.2.1.1.9.2", ber(0x82, b"")), ("1.3.6.1.2.1.1.4.0", ber(0x05, b""))]))
    write("fuzz_snmp", "binary_string", snmp_response([
        ("1.3.6.1.2.1.2.2.1.6.2", ber(0x04, bytes([0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E]))),
        ("1.3.6.1.2.1.1.6.0", ber(0x04, b"x" * 200))]))
    write("fuzz_snmp", "error_status", snmp_response(
        [("1.3.6.1.2.1.1.1.0", ber(0x05, b""))], status=2, index=1))


def api():
    for name, text in [("setsrc", "QDVPAPI300SETSRCfeeder"), ("accreq", "QDVPAPI300ACCREQ1;30"),
                       ("accreq_refuse", "QDVPAPI300ACCREQ0"),
                       ("bgninp", "QDVPAPI300BGNINPFeed Lines"),
                       ("snddta", "QDVPAPI300SNDDTAweb1,200,35\nweb2,404,12\n"),
                       ("result", "QDVPAPI300RESULT7;restarted\n"),
                       ("result_empty", "QDVPAPI300RESULT7;\n"),
                       ("rcvreq", "QDVPAPI300RCVREQ"), ("endinp", "QDVPAPI300ENDINP"),
                       ("old_version", "QDVPAPI200BGNROW")]:
        write("fuzz_api", name, text)


def post():
    for name, text in [("warning", "disk /var is 95% full;W"), ("plain", "backup done"),
                       ("fields", "job 42 ended;O;extra;more"), ("lower", "link down;n"),
                       ("empty_text", ";C")]:
        write("fuzz_post", name, text)


def http():
    # Odd first byte: the page's URL, a NUL, the page.
    page = ("<html><head><title>Intranet portal</title>"
            "<link rel=stylesheet href=\"/css/site.css\"></head><body>"
            "<img src=\"logo.gif\"><IMG SRC='../img/a.png'><script src=//cdn.example/x.js>"
            "</script><a href=\"next.html\">next</a><embed src=\"movie.swf\">"
            "<body background=\"bg.jpg\"></body></html>")
    write("fuzz_http", "page", b"\x01http://intranet.example/portal/index.html\x00" + page.encode())
    write("fuzz_http", "page_no_title", b"\x01https://h:8443/a/b?c=d\x00<HTML><BODY>"
          b"<img src=x.gif><img src=\"http://other/y.gif\"></BODY></HTML>")
    write("fuzz_http", "title_edge", b"\x03http://h/\x00<title>cut here")
    # Even first byte: a URL configuration file.
    write("fuzz_http", "config", b"\x00http://www.example.com/ INTERVAL=300 USER=ops ALIAS=home\n"
          b"https://intranet.example/status INTERVAL=60 USER=ops,web CACHE=50\n"
          b"* a comment line\n\nHTTP:\\\\host\\dir\\page.html\nwww.plain.example INTERVAL=0\n")
    write("fuzz_http", "config_bad", b"\x02http://h/ CACHE=150 INTERVAL=99999 USER=\n"
          b"http://h/ USER=a\n" + b"http://long/" + b"x" * 1030 + b"\n")


def sockets():
    # 0xFF cuts the input into receives.
    write("fuzz_sockets", "lines", b"web1 200 35\nweb2 404 12\n")
    write("fuzz_sockets", "split", b"web1 2\xff00 35\nweb\xff2 404 12\r\n\xffweb3 200 7")
    write("fuzz_sockets", "end_marker", b"a|1|x\n\x00\nb|2|y\n\xff\xff\n")
    write("fuzz_sockets", "long_line", b"z" * 3000 + b"\xff" + b"z" * 2000 + b"\n")


def records():
    # The first byte picks a source of the example metafiles' tables, in metafile name order:
    # 0 keyrates, 1 perfcsv, 2 perfsample (summarized), 3 snmp-ifTable, 4 snmp-system,
    # 5 syslog, 6 and 7 twosources (file, socket), 8 weblog; then tests/fuzz/tables:
    # 9 sumdaily, 10 sumstamp, 11 sumwide.
    for name, index, line in [
            ("keyrates", 0, "router1 eth0 123456789 98765432 0"),
            ("perfcsv", 1, "dbhost1,2026-12-05 21:00:00,37,812,1024000,55"),
            ("perfsample", 2, "dbhost1,2026-12-05 21:00:00,37,812,1024000,55"),
            ("perfsample_big", 2, "dbhost2,2026-12-05 21:15:00,99999999999,-5,x,70000"),
            ("iftable", 3, "host1 host1 1 eth0 6 1500 1000000000 123 456"),
            ("syslog", 5, "Dec  5 21:12:48 apphost1 billing[4711]: payment gateway timeout "
                          "after 30s"),
            ("twosources", 6, "A1001|CREATED|2599|web"),
            ("twosources_sock", 7, "A1002|SHIPPED|-1|store"),
            ("weblog", 8, "10.0.0.7 - alice [05/Dec/2026:21:12:48 +0000] \"GET /index.html "
                          "HTTP/1.1\" 200 5120"),
            ("sumdaily", 9, "1261208213000000 5 7 done"),
            ("sumstamp", 10, "h1,abcd,50,3"),
            ("sumwide", 11, "h1,z1,5," + ",".join(str(i) for i in range(80)))]:
        write("fuzz_records", name, bytes([index]) + line.encode())


def metafile():
    # Even first byte: the text is read in memory; odd: from a file, without that byte.
    write("fuzz_metafile", "summary_stamp",
          "//APPL SumStamp\n//NAME Perf K 300\n//SUMMARY 3600 BATCH\n//SOURCE FILE /tmp/p.csv\n"
          "//ATTRIBUTES ','\nHost D 8 KEY SKEY=1\nLocalTimeStamp D 4\nCpu G 100 SKEY=SUM\n"
          "Mem C SKEY=SUM\nRate % 100\n")
    write("fuzz_metafile", "file_derived",
          "\x01//APPL Derived\n//NAME T E ADDTIMESTAMP\n//SOURCE FILE /tmp/d.log\n"
          "//ATTRIBUTES ' '\nA G 1000\nB G 1000\nSum (A + B)\nPct (A % B)\n"
          "Name D 16 DLM='[]' +FILTER={SCAN(0,x) OR MATCH(0,y)}\n")


if __name__ == "__main__":
    for target in ["fuzz_dch_decode", "fuzz_agentlink_receive", "fuzz_actions", "fuzz_console",
                   "fuzz_console_seal",
                   "fuzz_snmp", "fuzz_api", "fuzz_post", "fuzz_http", "fuzz_sockets",
                   "fuzz_records", "fuzz_metafile"]:
        shutil.rmtree(os.path.join(HERE, target), ignore_errors=True)
    agent_link()
    console()
    console_seal()
    snmp()
    api()
    post()
    http()
    sockets()
    records()
    metafile()
