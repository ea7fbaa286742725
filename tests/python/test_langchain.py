"""LumveroVectorStore against LangChain's standard vector store suite, and
what the suite does not cover: filters, maximal marginal relevance, save and
load, exact scores against one Index."""
import inspect
import json

import numpy as np
import pytest

pytest.importorskip("langchain_tests", reason="langchain-tests is not installed "
                    "(make test installs it: pip install lumvero[langchain] langchain-tests)")
pytest.importorskip("duckdb", reason="the vector store's filters need duckdb (lumvero[attrs])")

from langchain_core.documents import Document  # noqa: E402
from langchain_core.embeddings import DeterministicFakeEmbedding  # noqa: E402
from langchain_tests.integration_tests import VectorStoreIntegrationTests  # noqa: E402

from lumvero_contrib import Index  # noqa: E402
from lumvero_contrib.integrations.langchain import LumveroVectorStore  # noqa: E402


class TestLumveroVectorStore(VectorStoreIntegrationTests):
    @pytest.fixture()
    def vectorstore(self):
        return LumveroVectorStore(self.get_embeddings())


# The suite's async tests (the store's async methods are VectorStore's,
# which run the sync ones in an executor) under pytest-asyncio's strict mode.
for _name, _test in list(vars(VectorStoreIntegrationTests).items()):
    if _name.startswith("test_") and inspect.iscoroutinefunction(_test):
        setattr(TestLumveroVectorStore, _name, pytest.mark.asyncio(_test))


EMB = DeterministicFakeEmbedding(size=16)
TEXTS = [f"text {i}" for i in range(40)]
METAS = [{"lang": ["pt", "en"][i % 2], "n": i % 5, "tags": {"a": [i % 3]}} for i in range(40)]


@pytest.fixture()
def store():
    return LumveroVectorStore.from_texts(TEXTS, EMB, metadatas=METAS,
                                         ids=[f"k{i}" for i in range(40)])


def reference(metric="cosine", keep=lambda m: True):
    """One Index holding the kept texts' vectors, ids by text number."""
    ix = Index(16, metric=metric)
    kept = [i for i in range(40) if keep(METAS[i])]
    if kept:
        ix.add(EMB.embed_documents([TEXTS[i] for i in kept]), ids=kept)
    return ix


@pytest.mark.parametrize("filt", [None, {"lang": "pt"}, {"lang": "en", "n": 3},
                                  {"tags": {"a": [1]}}, {"lang": 'x" OR 1=1 --'},
                                  {'la"ng': "pt"}])
def test_search_is_the_index_answer_within_the_filter(store, filt):
    keep = (lambda m: all(m.get(k) == v for k, v in filt.items())) if filt else (lambda m: True)
    q = EMB.embed_query("text 7")
    want_scores, want_ids = reference(keep=keep).search(q, 12)
    got = store.similarity_search_with_score_by_vector(q, 12, filter=filt)
    want = [(f"k{i}", s) for i, s in zip(want_ids[0].tolist(), want_scores[0].tolist()) if i >= 0]
    assert [(d.id, s) for d, s in got] == want
    assert all(d.metadata == METAS[int(d.id[1:])] and d.page_content == TEXTS[int(d.id[1:])]
               for d, _ in got)


def test_filter_must_be_a_dict(store):
    with pytest.raises(TypeError, match="^filter must be a dict of metadata key -> value; "
                                        "got str$"):
        store.similarity_search("text 1", filter="lang = 'pt'")


def test_mmr_picks_among_the_exact_fetch_k(store):
    from langchain_core.vectorstores.utils import maximal_marginal_relevance
    q = EMB.embed_query("text 3")
    ix = reference()
    _, ids = ix.search(q, 10)
    rows = ix.get(ids[0])
    want = ids[0][maximal_marginal_relevance(np.asarray(q, np.float32), list(rows), k=4)]
    got = store.max_marginal_relevance_search("text 3", k=4, fetch_k=10)
    assert [d.id for d in got] == [f"k{i}" for i in want.tolist()]
    assert len({d.id for d in got}) == 4


def test_save_and_load_keep_every_answer_and_id(store, tmp_path):
    store.delete(["k3", "k4"])
    store.add_texts(["replaced"], [{"lang": "xx"}], ids=["k5"])
    store.save(tmp_path / "s")
    back = LumveroVectorStore.load(tmp_path / "s", EMB)
    for filt in (None, {"lang": "pt"}):
        assert (back.similarity_search_with_score("text 9", 40, filter=filt)
                == store.similarity_search_with_score("text 9", 40, filter=filt))
    assert back.get_by_ids(["k5", "k3", "k6"]) == [
        Document(id="k5", page_content="replaced", metadata={"lang": "xx"}),
        Document(id="k6", page_content="text 6", metadata=METAS[6])]
    assert back.add_texts(["new"], ids=["k3"]) == ["k3"]  # a removed id comes back
    assert len(back.index) == 39


def test_load_refuses_an_index_without_the_store_columns(tmp_path):
    ix = Index(16)
    ix.add(EMB.embed_documents(["a"]), attrs={"key": ["a"], "text": ["a"]})
    ix.save(tmp_path / "ix")
    with pytest.raises(ValueError, match=f"^index directory {tmp_path / 'ix'} has no column "
                                         f"metadata: it was not saved by a vector store$"):
        LumveroVectorStore.load(tmp_path / "ix", EMB)


def test_empty_store_saves_nothing_and_finds_nothing(tmp_path):
    store = LumveroVectorStore(EMB)
    assert store.similarity_search("a") == [] and store.get_by_ids(["a"]) == []
    with pytest.raises(ValueError, match="^this vector store has no index yet; add texts "
                                         "before saving it$"):
        store.save(tmp_path / "s")


def test_metadata_are_kept_as_json_columns(store):
    table = store.index.get([0], attrs=True)[1]
    assert table.column_names == ["key", "text", "metadata"]
    assert json.loads(table.column("metadata")[0].as_py()) == METAS[0]
