"""impacket 0.10 derives wrong SMB 3.1.1 session keys after an NTLM logon:
its login() starts the session's pre-authentication hash from zero instead
of from the connection's hash over the NEGOTIATE exchange (MS-SMB2
3.2.5.3.1), so its first signed request fails against every server that
follows MS-SMB2 (Windows included; impacket issue 1370, fixed upstream in
pull request 1373). seed_session_preauth applies that upstream fix from the
outside; on an impacket that has it, login() does the same assignment again
and nothing changes."""


def seed_session_preauth(conn):
    """Call between SMBConnection(...) (which negotiates) and login()."""
    smb = conn.getSMBServer()
    session = getattr(smb, "_Session", None)
    connection = getattr(smb, "_Connection", None)
    if session is not None and connection is not None and "PreauthIntegrityHashValue" in connection:
        session["PreauthIntegrityHashValue"] = connection["PreauthIntegrityHashValue"]
    return conn


def logged_on(port, dialect, user, password):
    """An impacket connection to the server on loopback port `port`,
    negotiated on `dialect` and logged on as user."""
    from impacket.smbconnection import SMBConnection
    conn = SMBConnection("127.0.0.1", "127.0.0.1", sess_port=port, preferredDialect=dialect, timeout=30)
    seed_session_preauth(conn)
    conn.login(user, password)
    return conn
