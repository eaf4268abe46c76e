"""The dataset a PPO run clones first (`--clone`), checked before the run starts."""

from __future__ import annotations

from pathlib import Path

from tavrin_rl.train.run_folder import RunError


def check_dataset(path: str) -> int:
    """The number of placements of the dataset at `path` to clone, its manifest and every
    shard's footer read; RunError (status 2) in one line when it has none or cannot be read."""
    try:
        from tavrin_rl import data
        from tavrin_rl.data import _store
        dataset = data.open(path)
        pa = _store.pyarrow()
        for shard in dataset.shards:
            for name in shard["files"]:
                try:
                    rows = pa.parquet.read_metadata(dataset.path / name).num_rows
                except (OSError, ValueError) as error:  # pyarrow's errors derive from these
                    raise ValueError(f"{dataset.path / name}: {error}") from None
                if name == shard["files"][0] and rows != shard["plies"]:
                    raise ValueError(f"{dataset.path / name}: {rows} rows, the manifest says "
                                     f"{shard['plies']}")
    except ModuleNotFoundError as error:
        raise RunError(f"--clone reads datasets with pyarrow: pip install 'tavrin_rl[data]' "
                       f"({error})", 2) from None
    except FileNotFoundError as error:
        manifest = Path(path) / "manifest.json"
        if manifest.is_file():  # there, but not ours: not the same as missing
            raise RunError(f"cannot clone {path}: {manifest} is damaged or not a tavrin_rl "
                           "dataset manifest", 2) from None
        text = f"{error.filename} is missing" if error.filename else str(error)
        raise RunError(f"cannot clone {path}: {text}", 2) from None
    except (OSError, ValueError) as error:  # pyarrow's errors are ValueError or OSError
        raise RunError(f"cannot clone {path}: {first_line(error)}", 2) from None
    if dataset.num_samples == 0:
        raise RunError(f"cannot clone {path}: it holds no placements", 2)
    return dataset.num_samples


def first_line(error: BaseException) -> str:
    return str(error).strip().splitlines()[0] if str(error).strip() else repr(error)
