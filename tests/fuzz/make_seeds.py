#!/usr/bin/env python3
"""Writes the engine fuzzer's seed corpus (tests/fuzz/engine/corpus/): real request
frames in the harness's input format. The first byte picks the opening the
harness replays first (its low three bits) and the framing flags; framed
records are [u16 length][SMB2 message], with SessionId/TreeId 0 filled in by
the harness. Run again after changing the harness's input format."""
import os
import struct
import sys

NONE, NEGOTIATED, CHALLENGED, GUEST, SHARE, IPC, ONE, OPENS = range(8)
FRAMED, PATCH, SIGN_REQ, TIGHT = 0x10, 0x20, 0x08, 0x40
# With SIGN_REQ the openings from GUEST on are alice's signed logon; the top
# bits of a record's length then say how the harness sends it.
SEAL, PLAIN = 0x8000, 0x4000
# A record of no bytes with both bits changes the host folder (add a file to
# sub/, touch a.txt, rename sub/c.txt, add a folder to sub/) before the
# engine reads on.
HOST = SEAL | PLAIN
ADD_FILE, TOUCH_A, RENAME_C, ADD_DIR = (HOST | i for i in range(4))
FIRST_TREE = 1  # the TreeId a connection's first TREE_CONNECT gets
RELATED = 0x4
ALL = 0xFFFFFFFFFFFFFFFF
READ_ACCESS = 0x00120089
FID_A, FID_SUB = 0x21, 0x31  # the files the OPENS opening leaves open


def hdr(cmd, mid, flags=0, sid=0, tid=0, nxt=0):
    return struct.pack('<IHHIHHIIQIIQ16s', 0x424D53FE, 64, 1, 0, cmd, 1, flags, nxt, mid, 0,
                       tid, sid, b'\0' * 16)


def u16(s):
    return s.encode('utf-16-le')


def negotiate(dialects=(0x0300, 0x0302, 0x0311), contexts=True):
    body = struct.pack('<HHHHI16sIHH', 36, len(dialects), 1, 0, 0x7F, b'\x10' * 16, 0, 0, 0)
    body += b''.join(struct.pack('<H', d) for d in dialects)
    msg = hdr(0, 0) + body
    if not contexts:
        return msg
    ctxs = b''
    items = [(1, struct.pack('<HHH', 1, 32, 1) + b'\xa5' * 32),
             (2, struct.pack('<HHH', 2, 1, 2)),
             (8, struct.pack('<HHH', 2, 1, 2))]
    start = (len(msg) + 7) & ~7
    msg += b'\0' * (start - len(msg))
    for i, (t, d) in enumerate(items):
        ctxs += struct.pack('<HHI', t, len(d), 0) + d
        if i + 1 < len(items):
            ctxs += b'\0' * ((-len(ctxs)) % 8)
    msg = bytearray(msg + ctxs)
    struct.pack_into('<IH', msg, 64 + 28, start, len(items))
    return bytes(msg)


NTLM_NEGOTIATE = b'NTLMSSP\0' + struct.pack('<IIQQ', 1, 0x62088297, 0, 0)


def der(tag, content):
    n = len(content)
    if n < 0x80:
        return bytes([tag, n]) + content
    if n < 0x100:
        return bytes([tag, 0x81, n]) + content
    return bytes([tag, 0x82, n >> 8, n & 0xFF]) + content


def spnego_init(tok):
    mech = der(0x30, bytes.fromhex('060a2b0601040182370202 0a'.replace(' ', '')))
    inner = der(0x30, der(0xA0, mech) + der(0xA2, der(0x04, tok)))
    return der(0x60, bytes.fromhex('06062b0601050502') + der(0xA0, inner))


def session_setup(tok, mid=1, sid=0):
    return hdr(1, mid, sid=sid) + struct.pack('<HBBIIHHQ', 25, 0, 1, 0, 0, 88, len(tok), 0) + tok


def bind_setup(tok, mid=1, sid=0, flags=0):
    """A SESSION_SETUP asking to bind the connection to session sid."""
    return hdr(1, mid, flags=flags, sid=sid) + struct.pack('<HBBIIHHQ', 25, 1, 1, 0, 0, 88, len(tok), 0) + tok


def anonymous_auth(user='', nt=b''):
    """AUTHENTICATE without a response, or for `user` with the NT response `nt`."""
    m = bytearray(b'NTLMSSP\0' + struct.pack('<I', 3) + b'\0' * 76)
    struct.pack_into('<I', m, 60, 0x60888215)
    off = 88
    for i, f in enumerate([b'', nt, u16('WORKGROUP'), u16(user), u16('TESTHOST'), b'']):
        struct.pack_into('<HHI', m, 12 + 8 * i, len(f), len(f), off)
        m += f
        off += len(f)
    return bytes(m)


def tree_connect(path, mid=3):
    p = u16(path)
    return hdr(3, mid) + struct.pack('<HHHH', 9, 0, 72, len(p)) + p


def create(name, mid=4, options=0, access=READ_ACCESS, disposition=1, flags=0, contexts=b'', oplock=0):
    n = u16(name)
    body = struct.pack('<HBBIQQIIIIIHHII', 57, 0, oplock, 2, 0, 0, access, 0, 7, disposition, options,
                       120, len(n), 0, 0) + n
    if contexts:
        at = (56 + len(n) + 7) & ~7
        body += b'\0' * (at - len(body))
        body = body[:48] + struct.pack('<II', 64 + at, len(contexts)) + body[56:] + contexts
    if len(body) < 57:
        body += b'\0' * (57 - len(body))
    return hdr(5, mid, flags) + body


def ctx(name, data=b''):
    return struct.pack('<IHHHHI', 0, 16, 4, 0, 24 if data else 0, len(data)) + name + b'\0' * 4 + data


def close(fid=ALL, mid=5, flags=RELATED):
    return hdr(6, mid, flags) + struct.pack('<HHIQQ', 24, 1, 0, fid, fid if fid == ALL else 0)


def read(fid=ALL, off=0, length=4096, mid=5, flags=RELATED):
    return hdr(8, mid, flags) + struct.pack('<HBBIQQQIIIHHB', 49, 0, 0, length, off, fid,
                                            fid if fid == ALL else 0, 0, 0, 0, 0, 0, 0)


def write(fid=ALL, data=b'hello', mid=5, flags=RELATED):
    return hdr(9, mid, flags) + struct.pack('<HHIQQQIIHHI', 49, 112, len(data), 0, fid,
                                            fid if fid == ALL else 0, 0, 0, 0, 0, 0) + data


def qdir(fid=ALL, cls=37, fl=0, pattern='*', mid=5, flags=RELATED, cap=65536):
    p = u16(pattern)
    return hdr(14, mid, flags) + struct.pack('<HBBIQQHHI', 33, cls, fl, 0, fid,
                                             fid if fid == ALL else 0, 96 if p else 0, len(p),
                                             cap) + (p or b'\0')


def qinfo(fid=ALL, typ=1, cls=18, mid=5, flags=RELATED, out=4096, extra=0):
    return hdr(16, mid, flags) + struct.pack('<HBBIHHIIIQQB', 41, typ, cls, out, 0, 0, 0, extra, 0,
                                             fid, fid if fid == ALL else 0, 0)


def ioctl(ctl, data=b'', fid=ALL, mid=5, flags=0, out=65536):
    return hdr(11, mid, flags) + struct.pack('<HHIQQIIIIIIII', 57, 0, ctl, fid,
                                             fid if fid == ALL else 0, 120, len(data), 0, 0, 0,
                                             out, 1, 0) + data


def simple(cmd, body, mid=5, flags=0):
    return hdr(cmd, mid, flags) + body


def rpc_bind():
    ctxs = struct.pack('<HBB', 0, 1, 0)
    ctxs += bytes.fromhex('c84f324b7016d30112785a47bf6ee188') + struct.pack('<HH', 3, 0)
    ctxs += bytes.fromhex('045d888aeb1cc9119fe808002b104860') + struct.pack('<I', 2)
    body = struct.pack('<HHIB3x', 4280, 4280, 0, 1) + ctxs
    return bytes([5, 0, 11, 3, 0x10, 0, 0, 0]) + struct.pack('<HHI', 16 + len(body), 0, 1) + body


def rpc_share_enum(level=1):
    stub = struct.pack('<I', 0) + struct.pack('<II', level, level) + struct.pack('<II', 0x20004, 0)
    stub += struct.pack('<II', 0, 0) + struct.pack('<I', 0xFFFFFFFF) + struct.pack('<I', 0)
    body = struct.pack('<IHH', len(stub), 0, 15) + stub
    return bytes([5, 0, 0, 3, 0x10, 0, 0, 0]) + struct.pack('<HHI', 16 + len(body), 0, 2) + body


def compound(*msgs):
    out = b''
    for i, m in enumerate(msgs):
        m = bytearray(m)
        if i + 1 < len(msgs):
            m += b'\0' * ((-len(m)) % 8)
            struct.pack_into('<I', m, 20, len(m))
        out += bytes(m)
    return out


# The MessageId the server expects first after each opening: the openings'
# requests use ids 0, 1, 2, ... and each asks for one credit.
FIRST_MID = {NONE: 0, NEGOTIATED: 1, CHALLENGED: 2, GUEST: 3, SHARE: 4, IPC: 4, ONE: 4, OPENS: 6}


def renumber(msg, mid):
    """Gives the requests of one message the ids a client would use next
    (a CANCEL uses none); returns the message and the id after it."""
    m = bytearray(msg)
    off = 0
    while off + 64 <= len(m):
        cmd, = struct.unpack_from('<H', m, off + 12)
        if cmd != 12:
            struct.pack_into('<Q', m, off + 24, mid)
            charge, = struct.unpack_from('<H', m, off + 6)
            mid += max(charge, 1)
        nxt, = struct.unpack_from('<I', m, off + 20)
        if nxt == 0:
            break
        off += nxt
    return bytes(m), mid


def framed(sel, *msgs, mode=0, v311=False):
    """mode (SEAL or PLAIN) applies to every record; a (mode, message) pair
    sets one record's own. v311: a named user's session on 3.1.1 (the ids
    are filled in all the same)."""
    mid = FIRST_MID[sel & 7]
    out = bytes([sel | FRAMED | (0 if v311 else PATCH)])
    for m in msgs:
        how = mode
        if isinstance(m, tuple):
            how, m = m
        m, mid = renumber(m, mid)
        out += struct.pack('<H', len(m) | how) + m
    return out


def notify(fid=ALL, mid=5, flags=0, tree=0, out=4096, filt=0x17):
    return hdr(15, mid, flags) + struct.pack('<HHIQQII', 32, tree, out, fid, fid if fid == ALL else 0, filt, 0)


def cancel(mid, flags=0):
    """A CANCEL of the request with MessageId mid (renumber leaves it)."""
    m = bytearray(simple(12, b'\x04\0\0\0', flags=flags))
    struct.pack_into('<Q', m, 24, mid)
    return bytes(m)


def host(change):
    return (change, b'')


def lease_ctx(state=7):
    return ctx(b'RqLs', b'\x11' * 16 + struct.pack('<IIQ', state, 0, 0) + b'\x22' * 16 + struct.pack('<HH', 0, 0))


def lease_ack(state=0):
    return simple(18, struct.pack('<HHI', 36, 0, 0) + b'\x11' * 16 + struct.pack('<IQ', state, 0))


def oplock_ack(fid, level=0):
    return simple(18, struct.pack('<HBBIQQ', 24, level, 0, 0, fid, 0))


def class_seeds():
    """Every information class of QUERY_INFO, and the names classes of 3.1.1."""
    s = {}
    file_classes = (6, 7, 8, 9, 14, 16, 17, 21, 22, 28, 34, 48, 59)
    s['qinfo_file_classes'] = framed(OPENS, *[qinfo(FID_A, cls=c, flags=0) for c in file_classes])
    s['qinfo_dir_classes'] = framed(OPENS, *[qinfo(FID_SUB, cls=c, flags=0) for c in (21, 28, 59, 22)])
    s['qinfo_fs_classes'] = framed(OPENS, *[qinfo(FID_A, typ=2, cls=c, flags=0) for c in (1, 3, 4, 5, 7, 8, 11, 2)])
    s['qinfo_short_buffers'] = framed(OPENS, qinfo(FID_A, cls=18, out=40, flags=0), qinfo(FID_A, typ=3, extra=7, out=8, flags=0),
                                      qinfo(FID_A, typ=2, cls=1, out=18, flags=0))
    s['qinfo_security_no_access'] = framed(SHARE, compound(create('a.txt', access=0x80), qinfo(typ=3, extra=7), close()))
    tid = FIRST_TREE
    anon = der(0xA1, der(0x30, der(0xA2, der(0x04, anonymous_auth()))))
    s['nego311_names'] = framed(NONE, negotiate(), session_setup(spnego_init(NTLM_NEGOTIATE)), session_setup(anon, 2),
                                tree_connect('\\\\127.0.0.1\\share'),
                                compound(set_tree(create('sub\\c.txt'), tid), set_tree(qinfo(cls=48), tid),
                                         set_tree(qinfo(cls=21), tid), set_tree(qinfo(cls=18), tid),
                                         set_tree(qinfo(typ=3, extra=7, out=8), tid), set_tree(close(), tid)))
    return s


def set_tree(msg, tid):
    m = bytearray(msg)
    struct.pack_into('<I', m, 36, tid)
    return bytes(m)


def host_seeds():
    """Changes on the host while a named user's session watches or caches."""
    s = {}
    u = SIGN_REQ
    echo = simple(13, b'\x04\0\0\0')
    s['host_notify_add_file'] = framed(u | OPENS, notify(FID_SUB), host(ADD_FILE), echo)
    s['host_notify_tree_kept'] = framed(u | OPENS, notify(FID_SUB, tree=1, filt=0xFFF), host(RENAME_C), host(ADD_DIR), echo,
                                        host(ADD_FILE), echo, notify(FID_SUB, tree=1, filt=0xFFF), echo)
    s['host_notify_overflow'] = framed(u | OPENS, notify(FID_SUB, out=8), host(ADD_FILE), host(ADD_FILE), echo,
                                       notify(FID_SUB, out=8), echo, close(FID_SUB, flags=0))
    s['host_notify_sealed'] = framed(u | OPENS, (SEAL, notify(FID_SUB)), host(ADD_FILE), (SEAL, echo))
    s['host_notify_meta_root'] = framed(u | SHARE, create('', options=1), notify(0x21, filt=0x1FF), host(TOUCH_A), echo)
    s['host_notify_tree_below'] = framed(u | OPENS, host(ADD_DIR), echo, notify(FID_SUB, tree=1), host(ADD_FILE), echo)
    s['host_notify_kept_overflow'] = framed(u | OPENS, notify(FID_SUB), echo, *[host(ADD_FILE)] * 260, echo,
                                            notify(FID_SUB), echo)
    s['notify_cleanup_tree'] = framed(u | OPENS, notify(FID_SUB), simple(4, struct.pack('<HH', 4, 0)), echo)
    s['notify_cleanup_logoff'] = framed(u | OPENS, notify(FID_SUB), simple(2, struct.pack('<HH', 4, 0)), echo)
    s['notify_bad_structure'] = framed(OPENS, notify(FID_SUB)[:64] + struct.pack('<HHIQQII', 31, 0, 4096, FID_SUB, 0, 0x17, 0))
    s['lease_close_key_reuse'] = framed(u | SHARE, create('a.txt', oplock=0xFF, contexts=lease_ctx()),
                                        create('sub\\c.txt', oplock=0xFF, contexts=lease_ctx()),
                                        create('a.txt', oplock=0xFF, contexts=lease_ctx()),
                                        close(0x21, flags=0), close(0x31, flags=0))
    s['pipe_share_enum_levels'] = framed(IPC, create('srvsvc'), ioctl(0x0011C017, rpc_bind(), fid=0x21),
                                         ioctl(0x0011C017, rpc_share_enum(2), fid=0x21),
                                         ioctl(0x0011C017, rpc_share_enum(3), fid=0x21))
    s['two_trees'] = framed(u | SHARE, tree_connect('\\\\127.0.0.1\\IPC$'), tree_connect('\\\\127.0.0.1\\one'),
                            set_tree(simple(4, struct.pack('<HH', 4, 0)), 2), echo)
    s['host_read_after_rename'] = framed(u | SHARE, create('sub\\c.txt'), host(RENAME_C), read(0x21, flags=0))
    s['host_notify_kept_small'] = framed(u | OPENS, notify(FID_SUB), host(ADD_FILE), echo, host(ADD_FILE), host(ADD_DIR),
                                         echo, notify(FID_SUB, out=8), notify(FID_SUB, tree=1))
    s['tight_second_watch'] = framed(OPENS | TIGHT, notify(FID_SUB), close(FID_A, flags=0), create('', options=1),
                                     notify(0x51), notify(0x51, tree=1))
    s['host_lease_break'] = framed(u | SHARE, create('a.txt', oplock=0xFF, contexts=lease_ctx()), host(TOUCH_A),
                                   create('a.txt', oplock=0xFF, contexts=lease_ctx()), lease_ack(), lease_ack(1))
    s['host_oplock_break'] = framed(u | SHARE, create('a.txt', oplock=0x09), host(TOUCH_A), create('a.txt'),
                                    oplock_ack(0x21), oplock_ack(0x21, 1), oplock_ack(0x21))
    return s


def edge_seeds():
    """Refusals and limits a client meets at the edges of each command."""
    s = {}
    s['qdir_every_class'] = framed(OPENS, *[qdir(FID_SUB, cls=c, fl=1, flags=0) for c in (1, 2, 3, 12, 37, 38)])
    s['qdir_index_end_small'] = framed(OPENS, qdir(FID_SUB, cls=37, flags=0), qdir(FID_SUB, cls=37, fl=4, flags=0),
                                       qdir(FID_SUB, cls=37, flags=0), qdir(FID_SUB, cls=37, fl=1, cap=8, flags=0))
    s['create_qfid_close_edges'] = framed(SHARE, compound(create('a.txt', contexts=ctx(b'QFid')), close()),
                                          simple(6, struct.pack('<HHIQQ', 23, 0, 0, 5, 5)),
                                          simple(6, struct.pack('<HHIQQ', 24, 0, 0, 0x999, 0x999)))
    s['compound_too_many'] = framed(GUEST, compound(*[simple(13, b'\x04\0\0\0')] * 65))
    s['compound_reply_overflow'] = framed(SHARE | TIGHT, compound(create('big.bin'), *[read(length=60000)] * 3, close()))
    s['session_setup_edges'] = framed(GUEST, simple(1, struct.pack('<HBBII', 24, 0, 1, 0, 0)),
                                      simple(1, struct.pack('<HBB', 25, 0, 1)),
                                      session_setup(spnego_init(NTLM_NEGOTIATE), 1), simple(2, struct.pack('<HH', 4, 0)),
                                      tree_connect('\\\W.0.0.1\\share'))
    s['trace_smb1_frames'] = bytes([NONE | 0x80]) + nb(b'\xffSMB') + nb(b'\xffSMB\x2b' + b'\0' * 40)
    # encrypt=required: a client without the cipher is refused, a named user's
    # plain requests are refused, sealed ones served.
    s['encrypt_required_no_cipher'] = framed(NEGOTIATED | SIGN_REQ | TIGHT, session_setup(spnego_init(NTLM_NEGOTIATE)))
    s['encrypt_required_user'] = framed(GUEST | SIGN_REQ | TIGHT, tree_connect('\\\\127.0.0.1\\share'),
                                        (SEAL, tree_connect('\\\\127.0.0.1\\share')),
                                        (SEAL, set_tree(compound(create('a.txt'), read(), close()), FIRST_TREE)),
                                        compound(simple(13, b'\x04\0\0\0'), simple(13, b'\x04\0\0\0')))
    s['large_message'] = framed(GUEST, simple(13, b'\x04\0\0\0' + b'\0' * 20000))
    s['create_error_in_compound'] = framed(SHARE, compound(simple(13, b'\x04\0\0\0'), create('missing.txt'), close()))
    s['create_context_chain'] = framed(SHARE, compound(create('a.txt', contexts=chain(ctx(b'MxAc'), ctx(b'QFid'))), close()),
                                       create('a.txt', contexts=struct.pack('<IHHHHI', 0, 16, 0, 0, 0, 0) + b'\0' * 8),
                                       create('a.txt', contexts=struct.pack('<IHHHHI', 0, 16, 4, 0, 200, 8) + b'QFid\0\0\0\0'))
    s['ioctl_pipe_bad_input'] = framed(IPC, create('srvsvc'), ioctl(0x0011C017, rpc_bind(), fid=0x21)[:-len(rpc_bind())])
    # alice with a well-formed NTLMv2 response whose proof is wrong.
    ft = (1700000000 + 11644473600) * 10000000  # the target's fixed clock as a FILETIME
    blob = struct.pack('<BBHIQ8sI', 1, 1, 0, 0, ft, b'\xc0' * 8, 0) + struct.pack('<HHQ', 7, 8, ft)
    for av_id in (2, 1):  # the NetBIOS domain and computer names the CHALLENGE gave
        blob += struct.pack('<HH', av_id, 26) + u16('TARNWICKFIELD')
    blob += struct.pack('<HH', 0, 0) + b'\0' * 4
    s['ss_wrong_password'] = framed(CHALLENGED, session_setup(der(0xA1, der(0x30, der(0xA2, der(0x04, anonymous_auth('alice', b'\x5a' * 16 + blob))))), 2))
    s['compound_65th_garbage'] = framed(GUEST, compound(*[simple(13, b'\x04\0\0\0')] * 64, b'\x01' * 64))
    s['compound_answer_too_big'] = framed(SHARE, compound(create('big.bin'), *[read(length=65536)] * 3, close()))
    mechs = der(0xA0, der(0x30, bytes.fromhex('060a2b06010401823702020a')))
    s['ss_init_without_token'] = framed(NEGOTIATED, session_setup(der(0x60, bytes.fromhex('06062b0601050502') +
                                                                      der(0xA0, der(0x30, mechs)))))
    s['renegotiate'] = framed(GUEST, negotiate(), simple(13, b'\x04\0\0\0'))
    # Bindings: to the session the connection holds, to one that does not
    # exist (unsigned and signed), then a request of the session all the same.
    s['ss_binding'] = framed(GUEST, bind_setup(spnego_init(NTLM_NEGOTIATE)),
                             bind_setup(spnego_init(NTLM_NEGOTIATE), sid=0x1234567),
                             bind_setup(spnego_init(NTLM_NEGOTIATE), sid=0x1234567, flags=8),
                             simple(13, b'\x04\0\0\0'))
    return s


def chain(*ctxs):
    """Create contexts linked by their Next fields, each 8-aligned."""
    out = b''
    for i, c in enumerate(ctxs):
        if i + 1 < len(ctxs):
            c += b'\0' * ((-len(c)) % 8)
            c = struct.pack('<I', len(c)) + c[4:]
        out += c
    return out


def user_seeds():
    """Named-user sessions: signed requests, sealed ones, and the session's
    own commands (the harness signs and seals)."""
    s = {}
    u = SIGN_REQ
    s['user_signed_read'] = framed(u | SHARE, compound(create('a.txt'), read(), qinfo(typ=3, cls=0, extra=7), close()))
    s['user_signed_list'] = framed(u | OPENS, qdir(FID_SUB, flags=0), qinfo(FID_A, typ=2, cls=1, flags=0),
                                   read(FID_A, flags=0), close(FID_A, flags=0))
    s['user_trace_secrets'] = framed(u | SHARE | 0x80, compound(create('a.txt'), read(), close()))
    s['user311_signed_read'] = framed(u | SHARE, compound(create('a.txt'), read(), qinfo(cls=48), close()), v311=True)
    s['user311_sealed_list'] = framed(u | OPENS, qdir(FID_SUB, flags=0), read(FID_A, flags=0), mode=SEAL, v311=True)
    s['user311_notify_sealed'] = framed(u | OPENS, (SEAL, notify(FID_SUB)), host(ADD_FILE), simple(13, b'\x04\0\0\0'),
                                        v311=True)
    s['user_sealed_read'] = framed(u | SHARE, compound(create('big.bin'), read(length=65536), close()), mode=SEAL)
    s['user_sealed_pipe'] = framed(u | IPC, create('srvsvc'), ioctl(0x0011C017, rpc_bind(), fid=0x21),
                                   ioctl(0x0011C017, rpc_share_enum(), fid=0x21), mode=SEAL)
    s['user_plain_refused'] = framed(u | SHARE, (SEAL, create('a.txt')), (PLAIN, read(0x21, flags=0)),
                                     (0, simple(13, b'\x04\0\0\0')))
    s['user_bad_signature'] = framed(u | SHARE, (PLAIN, simple(13, b'\x04\0\0\0', flags=0x8)), simple(13, b'\x04\0\0\0'))
    s['user_logoff_reuse'] = framed(u | OPENS, simple(2, struct.pack('<HH', 4, 0)), read(FID_A, flags=0))
    s['user_ioctl_validate'] = framed(u | SHARE, ioctl(0x00140204, struct.pack('<I16sHH', 0x40, b'\x11' * 16, 1, 4) +
                                                       struct.pack('<HHHH', 0x0202, 0x0210, 0x0300, 0x0302), flags=0))
    s['user_notify_cancel'] = framed(u | OPENS, notify(FID_SUB), cancel(6))
    s['user_notify_sealed_close'] = framed(u | OPENS, notify(FID_SUB, filt=0xFFF), close(FID_SUB, flags=0), mode=SEAL)
    s['notify_tree_cancel'] = framed(OPENS, notify(FID_SUB, tree=1), notify(FID_SUB, out=0), cancel(6), close(FID_SUB, flags=0))
    s['notify_file_handle'] = framed(OPENS, notify(FID_A), notify(ALL, flags=RELATED))
    return s


def nb(msg):
    return struct.pack('>I', len(msg)) + msg


def seeds():
    s = {}
    s['raw_negotiate_311'] = bytes([NONE]) + nb(negotiate())
    s['raw_negotiate_30_nosign'] = bytes([NONE | SIGN_REQ]) + nb(negotiate((0x0300,), False))
    s['raw_session_request'] = bytes([NONE]) + bytes([0x81, 0, 0, 4]) + b'\x20AA\0' + nb(negotiate())
    s['raw_smb1_negotiate'] = bytes([NONE]) + nb(b'\xffSMBr' + b'\0' * 27 + b'\0\x0c\0\x02SMB 2.???\0')
    s['raw_keepalive'] = bytes([GUEST]) + b'\x85\0\0\0' + b'\0\0\0\0' + nb(simple(13, struct.pack('<HH', 4, 0), mid=3))
    s['framed_negotiate_311'] = framed(NONE, negotiate())
    s['ss_ntlm_negotiate'] = framed(NEGOTIATED, session_setup(spnego_init(NTLM_NEGOTIATE)))
    s['ss_raw_ntlm'] = framed(NEGOTIATED, session_setup(NTLM_NEGOTIATE))
    s['ss_anonymous'] = framed(CHALLENGED, session_setup(der(0xA1, der(0x30, der(0xA2, der(0x04, anonymous_auth())))), 2))
    s['ss_anonymous_sign_req'] = framed(CHALLENGED | SIGN_REQ, session_setup(anonymous_auth(), 2))
    s['logoff'] = framed(GUEST, simple(2, struct.pack('<HH', 4, 0)))
    s['echo'] = framed(GUEST, simple(13, struct.pack('<HH', 4, 0)))
    s['tree_share'] = framed(GUEST, tree_connect('\\\\127.0.0.1\\share'))
    s['tree_ipc'] = framed(GUEST, tree_connect('\\\\host\\IPC$'))
    s['tree_missing'] = framed(GUEST, tree_connect('\\\\host\\nothere'))
    s['tree_disconnect'] = framed(SHARE, simple(4, struct.pack('<HH', 4, 0)))
    s['create_read_close'] = framed(SHARE, compound(create('a.txt'), read(), close()))
    s['create_big_read'] = framed(SHARE, compound(create('big.bin'), read(length=65536, off=4096), close()))
    s['create_dir_list'] = framed(SHARE, compound(create('', options=1), qdir(), qdir(cls=1, fl=1, pattern='*.txt'), close()))
    s['create_sub_list'] = framed(SHARE, compound(create('sub', options=1), qdir(cls=3), qdir(cls=38), close()))
    s['create_qinfo'] = framed(SHARE, compound(create('a.txt'), qinfo(cls=18), qinfo(cls=5), qinfo(typ=2, cls=1), qinfo(typ=3, cls=0, extra=7), close()))
    s['create_contexts'] = framed(SHARE, compound(create('a.txt', contexts=ctx(b'MxAc')), close()))
    s['create_overwrite'] = framed(SHARE, create('new.txt', disposition=5, access=0x40000000))
    s['create_deep_path'] = framed(SHARE, create('sub\\c.txt'))
    s['create_dotdot'] = framed(SHARE, create('..\\..\\etc\\passwd'))
    s['write_denied'] = framed(SHARE, compound(create('a.txt'), write(), close()))
    s['ioctl_validate'] = framed(SHARE, ioctl(0x00140204, struct.pack('<I16sHH', 0x7F, b'\x10' * 16, 1, 2) + struct.pack('<HH', 0x0300, 0x0302)))
    s['ioctl_interfaces'] = framed(SHARE, ioctl(0x001401FC))
    s['ioctl_dfs'] = framed(IPC, ioctl(0x00060194, struct.pack('<H', 4) + u16('\\host\\share\0')))
    s['misc_commands'] = framed(SHARE, simple(7, struct.pack('<HHIQQ', 24, 0, 0, ALL, ALL)),
                                simple(10, struct.pack('<HHIQQ', 48, 1, 0, ALL, ALL) + b'\0' * 24),
                                simple(15, struct.pack('<HHIQQII', 32, 0, 4096, ALL, ALL, 0x17, 0)),
                                simple(12, b'\x04\0\0\0'),
                                simple(17, struct.pack('<HBBIHHIQQ', 33, 1, 4, 8, 96, 0, 0, ALL, ALL) + b'\0' * 8),
                                simple(18, struct.pack('<HBBIQQ', 24, 0, 0, 0, ALL, ALL)))
    s['pipe_bind_read'] = framed(IPC, compound(create('srvsvc'), write(data=rpc_bind()), read(length=1024), close()))
    s['pipe_transceive'] = framed(IPC, create('srvsvc'), ioctl(0x0011C017, rpc_bind(), fid=0x21, flags=0),
                                  ioctl(0x0011C017, rpc_share_enum(), fid=0x21, flags=0))
    s['pipe_enum_write_read'] = framed(IPC, create('srvsvc'), write(0x21, rpc_bind(), flags=0), read(0x21, flags=0),
                                       write(0x21, rpc_share_enum(), flags=0), read(0x21, length=4096, flags=0))
    s['one_read'] = framed(ONE, compound(create(''), read(), qinfo(cls=34), close()))
    s['one_list'] = framed(ONE, compound(create('', options=1), qdir(), close()))
    s['opens_read'] = framed(OPENS, read(FID_A, flags=0), read(FID_A, off=99, length=10, flags=0), close(FID_A, flags=0))
    s['opens_list'] = framed(OPENS, qdir(FID_SUB, flags=0), qdir(FID_SUB, cls=2, fl=0x10, flags=0), qinfo(FID_SUB, cls=4, flags=0))
    s['opens_qinfo_fs'] = framed(OPENS, qinfo(FID_A, typ=2, cls=5, flags=0), qinfo(FID_A, typ=2, cls=7, flags=0), qinfo(FID_A, cls=22, flags=0))
    s['cancel_async'] = framed(SHARE, simple(12, b'\x04\0\0\0', flags=0x2))
    s['compound_unrelated'] = framed(OPENS, compound(read(FID_A, flags=0), close(FID_A, flags=0), simple(13, b'\x04\0\0\0')))
    s['raw_split_frame'] = bytes([GUEST]) + nb(simple(13, b'\x04\0\0\0', mid=3))[:30]
    s['tight_third_open'] = framed(OPENS | TIGHT, create('big.bin'), close(FID_A, flags=0), create('big.bin'))
    s['tight_big_read_credits'] = framed(SHARE | TIGHT, compound(create('big.bin'), read(length=65536), close()))
    s['tight_oversized_frame'] = bytes([GUEST | TIGHT]) + struct.pack('>I', 65537) + simple(13, b'\x04\0\0\0', mid=3)
    s['lease_read_ack'] = framed(SHARE, compound(create('a.txt', oplock=0xFF, contexts=ctx(b'RqLs', b'\x11' * 16 + struct.pack('<IIQ', 7, 0, 0) + b'\x22' * 16 + struct.pack('<HH', 0, 0)))),
                                 read(FID_A, flags=0),
                                 simple(18, struct.pack('<HHI', 36, 0, 0) + b'\x11' * 16 + struct.pack('<IQ', 0, 0)))
    s['oplock_read_ack'] = framed(SHARE, create('a.txt', oplock=0x09), read(FID_A, flags=0),
                                  simple(18, struct.pack('<HBBIQQ', 24, 0, 0, 0, FID_A, 0)))
    s.update(user_seeds())
    s.update(class_seeds())
    s.update(host_seeds())
    s.update(edge_seeds())
    return s


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), 'engine', 'corpus')
    os.makedirs(out, exist_ok=True)
    for name, data in seeds().items():
        with open(os.path.join(out, name), 'wb') as f:
            f.write(data)


if __name__ == '__main__':
    main()
