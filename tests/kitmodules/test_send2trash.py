import os
from pathlib import Path

import pytest

from varden.mod.kelpie import setting
from varden.mod.kelpie.utils.send2trash import send2empty, send2trash


@pytest.fixture
def root(tmp_path, monkeypatch):
    monkeypatch.setattr(setting, "ROOT_PATH", str(tmp_path / "root"))
    return tmp_path / "root"


def test_trashing_the_same_name_twice_keeps_both(root, tmp_path):
    paths = []
    for content in ("first", "second", "third"):
        source = tmp_path / "work" / "a.csv"
        source.parent.mkdir(exist_ok=True)
        source.write_text(content)
        paths.append(send2trash(str(source)))
        assert not source.exists()
    trash = root / "trash"
    assert paths == [str(trash / "a.csv"), str(trash / "a (1).csv"), str(trash / "a (2).csv")]
    assert [Path(p).read_text() for p in paths] == ["first", "second", "third"]


def test_a_folder_goes_to_the_trash_whole(root, tmp_path):
    folder = tmp_path / "results"
    folder.mkdir()
    (folder / "x.txt").write_text("x")
    trashed = send2trash(str(folder) + os.sep)
    assert trashed == str(root / "trash" / "results")
    assert (root / "trash" / "results" / "x.txt").read_text() == "x"


def test_send2empty_deletes_files_and_folders(tmp_path):
    file = tmp_path / "f.txt"
    file.write_text("x")
    folder = tmp_path / "d"
    (folder / "sub").mkdir(parents=True)
    assert send2empty(str(file)) is None
    assert send2empty(str(folder)) is None
    assert not file.exists() and not folder.exists()


@pytest.mark.parametrize("remove", [send2trash, send2empty])
def test_missing_paths_raise(root, tmp_path, remove):
    with pytest.raises(FileNotFoundError):
        remove(str(tmp_path / "missing"))
