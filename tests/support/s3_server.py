"""moto's S3 server in a process of its own, on 127.0.0.1: prints its port,
then serves until its standard input closes.

    python s3_server.py [--ignore-conditions]

With ``--ignore-conditions`` it behaves like a service that ignores
conditional writes: ``If-None-Match`` and ``If-Match`` are dropped before
moto sees them.
"""

from __future__ import annotations

import logging
import sys


def main() -> None:
    from moto.server import ThreadedMotoServer

    logging.getLogger("werkzeug").setLevel(logging.ERROR)
    server = ThreadedMotoServer(ip_address="127.0.0.1", port=0, verbose=False)
    server.start()
    if "--ignore-conditions" in sys.argv:
        app = server._server.app

        def ignoring(environ, start_response):
            environ.pop("HTTP_IF_NONE_MATCH", None)
            environ.pop("HTTP_IF_MATCH", None)
            return app(environ, start_response)

        server._server.app = ignoring
    _, port = server.get_host_and_port()
    print(port, flush=True)
    sys.stdin.read()
    server.stop()


if __name__ == "__main__":
    main()
