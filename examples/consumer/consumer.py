import sys
import quelmora_ntp

port = int(sys.argv[1]) if len(sys.argv) > 1 else 12300
ntp = quelmora_ntp.Library()
with ntp.start(port):  # leaving the block stops the server
    reply = ntp.query("127.0.0.1", port)
    print(reply.time_iso, reply.offset, reply.delay, reply.stratum, reply.reference_id)
    print(ntp.stats())
