"""The results browser: ``corvina-sims serve``, a local web page over one store.

`corvina.web.server` is the HTTP side (Flask, served by waitress) and its
safety rules; `corvina.web.data` turns the store's answers into the JSON the
page uses, through the command line's own query parsing, export and claim
reading, with its pieces by concern beside it (``params``, ``views``,
``running``, ``export``, ``snippet``); ``static/`` holds the page itself
(plain HTML, CSS and JavaScript modules, and the plotting library vendored
from npm by ``vendor.sh``).

Nothing here is imported by ``import corvina``: only the ``serve`` command
pays for Flask and waitress.
"""
