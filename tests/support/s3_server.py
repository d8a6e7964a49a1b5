"""moto's S3 server in a process of its own, on 127.0.0.1: prints its port,
then serves until its standard input closes.

    python s3_server.py [--ignore-conditions] [--faults]

With ``--ignore-conditions`` it behaves like a service that ignores
conditional writes: ``If-None-Match`` and ``If-Match`` are dropped before
moto sees them.

With ``--faults`` the answers can be spoiled on request, as a real service's
sometimes are (see ``faults.py`` beside this file): ``PUT /__faults__`` with
a JSON body sets the rules, ``GET /__faults__`` tells how often each was
applied.
"""

from __future__ import annotations

import logging
import pathlib
import sys


def main() -> None:
    from moto.server import ThreadedMotoServer

    logging.getLogger("werkzeug").setLevel(logging.ERROR)
    server = ThreadedMotoServer(ip_address="127.0.0.1", port=0, verbose=False)
    server.start()
    app = server._server.app
    if "--ignore-conditions" in sys.argv:

        def ignoring(environ, start_response):
            environ.pop("HTTP_IF_NONE_MATCH", None)
            environ.pop("HTTP_IF_MATCH", None)
            return app(environ, start_response)

        server._server.app = ignoring
    if "--faults" in sys.argv:
        sys.path.insert(0, str(pathlib.Path(__file__).parent))
        from faults import Faults

        server._server.app = Faults(app)
    _, port = server.get_host_and_port()
    print(port, flush=True)
    sys.stdin.read()
    server.stop()


if __name__ == "__main__":
    main()
