"""Writer process of the crash test: runs the numbered calls of the workload one after another
from `first_call` on, and after each call that returned appends its number to the log and
fsyncs it. A reader thread keeps read transactions going so that a kill leaves reader slots
behind. Runs until killed.

usage: crash_writer.py STORE LOG NUM_SHARDS SEED FIRST_CALL KINDS
"""
import os
import sys
import threading

import numpy as np

import workload


def read_forever(db, kinds, stop):
    ids = list(range(-2000, 2000))
    query = np.ones(workload.DIM, np.float32)
    while not stop.is_set():
        db.get_data(ids)
        if "vectors" in kinds:
            db.search_flat(query, k=50)
        if "index" in kinds:
            db.get_ids_from_filter((1, "tag:", "tag;"))


def main():
    store, log_path, num_shards, seed, first_call, kinds = sys.argv[1:7]
    num_shards, seed, first_call = int(num_shards), int(seed), int(first_call)
    kinds = kinds.split(",")
    db = workload.open_store(store, num_shards)
    stop = threading.Event()
    threading.Thread(target=read_forever, args=(db, kinds, stop), daemon=True).start()
    log = os.open(log_path, os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o644)
    number = first_call
    while True:
        workload.make_call(seed, number, kinds).run(db)
        os.write(log, f"{number}\n".encode())
        os.fsync(log)
        number += 1


if __name__ == "__main__":
    main()
