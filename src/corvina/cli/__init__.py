"""Look into a simulation results store from the shell.

    corvina-sims list [--component NAME] [--type TYPE] [--where EXPR] [--columns PATHS] [--json]
    corvina-sims show ID
    corvina-sims stats
    corvina-sims delete ID
    corvina-sims clear [FILTERS] [--yes]
    corvina-sims prune|verify|sync ...
    corvina-sims plot [ID ...] [--where EXPR]
    corvina-sims export [--where EXPR] -o FILE.csv|.jsonl|.parquet

(also ``python -m corvina.cli``). The store is the one the settings name
(``$CORVINA_SIMULATIONS_DIR``, a path or a URL such as ``s3://bucket/sims``)
unless ``--store`` gives another. Exit status: 0 on success, 1 when nothing
was found (or a clearing was declined), 2 on bad usage or when the store
cannot be used.

The modules: `main` builds the parser from the command modules (`browse`,
`maintenance`, `plot`, `export`) and runs a command; `common` holds what they
share; `where` reads the short form of a query; `store` is the one place that
relies on more of the store than its public functions.
"""
