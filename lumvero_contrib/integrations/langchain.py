"""A LangChain vector store on a lumvero ``Index``: exact search, cosine by
default.

Each document is one row of the ``Index`` with three attribute columns
(``Index.add(..., attrs=...)``): ``key`` (its LangChain id, a str),
``text`` (its page content) and ``metadata`` (its metadata as JSON, keys
sorted). LangChain's string ids map to the index's int64 ids; the map is
rebuilt from the ``key`` column at load, so the saved store is exactly the
``Index`` directory. ``filter=`` is a dict of equalities on top-level
metadata keys, compared as JSON values (``{"lang": "pt", "year": 2020}``),
applied inside the scan as a ``where=`` predicate with the values passed as
parameters.

Needs ``langchain-core`` and the attribute extras (``pip install
lumvero[langchain]``).

Examples:
    >>> from langchain_core.embeddings import DeterministicFakeEmbedding
    >>> store = LumveroVectorStore.from_texts(
    ...     ["a cat", "a dog"], DeterministicFakeEmbedding(size=8),
    ...     metadatas=[{"kind": "cat"}, {"kind": "dog"}], ids=["c", "d"])
    >>> [d.id for d in store.similarity_search("a dog", k=2, filter={"kind": "dog"})]
    ['d']
"""

from __future__ import annotations

import json
import math
import os
import uuid
from collections.abc import Callable, Iterable, Sequence
from typing import Any, Self

import numpy as np
from langchain_core.documents import Document
from langchain_core.embeddings import Embeddings
from langchain_core.vectorstores import VectorStore
from langchain_core.vectorstores.utils import maximal_marginal_relevance

from lumvero_contrib._index_args import Metric, metric_name
from lumvero_contrib.index import Index

__all__ = ["LumveroVectorStore"]

_COLUMNS = ("key", "text", "metadata")


class LumveroVectorStore(VectorStore):
    """LangChain ``VectorStore`` over a lumvero ``Index`` (see the module).

    Arguments:
        embedding: the ``Embeddings`` that turns texts and queries into
            vectors.
        metric: the ``Index``'s metric: ``"cosine"`` (default), ``"dot"`` or
            ``"euclidean"``. Scores are the index's: cosine similarity, dot
            product, or squared distance (lower is better).
        index: an ``Index`` to serve (one this store saved, or empty); by
            default one is made at the first add, with the vectors' length.
    """

    def __init__(self, embedding: Embeddings, metric: Metric = "cosine",
                 index: Index | None = None) -> None:
        self._embedding = embedding
        self._metric: Metric = metric_name(metric) if index is None else index.metric
        self._index = index
        self._ids: dict[str, int] = {}
        self._next = 0  # the int64 id of the next document
        if index is not None and len(index):
            ids = index.ids()
            keys = index.get(ids, attrs=True)[1].column("key").to_pylist()
            self._ids = dict(zip(keys, ids.tolist()))
            self._next = int(ids.max()) + 1

    @property
    def embeddings(self) -> Embeddings:
        return self._embedding

    @property
    def index(self) -> Index | None:
        """The ``Index`` holding the documents (None before the first add)."""
        return self._index

    # -- adding and removing --------------------------------------------------

    def add_texts(self, texts: Iterable[str], metadatas: list[dict[str, Any]] | None = None,
                  *, ids: list[str] | None = None, **kwargs: Any) -> list[str]:
        """Embeds and adds texts; a text whose id is already present
        replaces that document (a text given twice in one call: its last).
        Returns the ids, generated (UUID4) where not given (None)."""
        texts = list(texts)
        keys, metas = _keys_and_metadata(texts, metadatas, ids)
        if not texts:
            return keys
        keep = sorted({key: j for j, key in enumerate(keys)}.values())
        vectors = np.asarray(self._embedding.embed_documents([texts[j] for j in keep]),
                             np.float64)
        if self._index is None:
            self._index = Index(int(vectors.shape[1]), metric=self._metric)
        attrs = {"key": [keys[j] for j in keep], "text": [texts[j] for j in keep],
                 "metadata": [json.dumps(metas[j], sort_keys=True) for j in keep]}
        old = [self._ids[keys[j]] for j in keep if keys[j] in self._ids]
        new_ids = list(range(self._next, self._next + len(keep)))
        self._index.add(vectors, ids=new_ids, attrs=attrs)  # checked before any removal
        self._next += len(keep)
        self._index.remove(old)
        self._ids.update(zip(attrs["key"], new_ids))
        return keys

    def delete(self, ids: list[str] | None = None, **kwargs: Any) -> bool | None:
        """Removes the documents of the ids (all documents when None);
        ids not present are ignored."""
        if self._index is None:
            return True
        keys = list(self._ids) if ids is None else [str(i) for i in ids]
        gone = [self._ids.pop(key) for key in keys if key in self._ids]
        self._index.remove(gone)
        return True

    def get_by_ids(self, ids: Sequence[str], /) -> list[Document]:
        """The documents of the ids present, in the order given."""
        found = [self._ids[str(i)] for i in ids if str(i) in self._ids]
        if not found or self._index is None:
            return []
        return self._documents(np.array(found, np.int64))

    # -- searching ------------------------------------------------------------

    def similarity_search(self, query: str, k: int = 4, filter: dict[str, Any] | None = None,
                          **kwargs: Any) -> list[Document]:
        return [d for d, _ in self.similarity_search_with_score(query, k, filter=filter)]

    def similarity_search_with_score(self, query: str, k: int = 4,
                                     filter: dict[str, Any] | None = None,
                                     **kwargs: Any) -> list[tuple[Document, float]]:
        """The k best documents with the index's score (see the class)."""
        vector = self._embedding.embed_query(query)
        return self.similarity_search_with_score_by_vector(vector, k, filter=filter)

    def similarity_search_by_vector(self, embedding: list[float], k: int = 4,
                                    filter: dict[str, Any] | None = None,
                                    **kwargs: Any) -> list[Document]:
        return [d for d, _ in self.similarity_search_with_score_by_vector(embedding, k,
                                                                           filter=filter)]

    def similarity_search_with_score_by_vector(self, embedding: list[float], k: int = 4,
                                               filter: dict[str, Any] | None = None
                                               ) -> list[tuple[Document, float]]:
        if self._index is None or not len(self._index):
            return []
        scores, ids = self._index.search(embedding, k, where=_where(filter))
        hit = ids[0] >= 0
        docs = self._documents(ids[0][hit])
        return list(zip(docs, scores[0][hit].tolist()))

    def max_marginal_relevance_search(self, query: str, k: int = 4, fetch_k: int = 20,
                                      lambda_mult: float = 0.5,
                                      filter: dict[str, Any] | None = None,
                                      **kwargs: Any) -> list[Document]:
        vector = self._embedding.embed_query(query)
        return self.max_marginal_relevance_search_by_vector(vector, k, fetch_k, lambda_mult,
                                                            filter=filter)

    def max_marginal_relevance_search_by_vector(self, embedding: list[float], k: int = 4,
                                                fetch_k: int = 20, lambda_mult: float = 0.5,
                                                filter: dict[str, Any] | None = None,
                                                **kwargs: Any) -> list[Document]:
        """The k documents picked by maximal marginal relevance among the
        fetch_k best: the exact fetch_k, then LangChain's selection over the
        stored vectors (unit length under cosine)."""
        if self._index is None or not len(self._index):
            return []
        _, ids = self._index.search(embedding, max(fetch_k, k), where=_where(filter))
        found = ids[0][ids[0] >= 0]
        if not found.size:
            return []
        rows = self._index.get(found)
        picked = maximal_marginal_relevance(np.asarray(embedding, np.float32), list(rows),
                                            lambda_mult=lambda_mult, k=k)
        return self._documents(found[picked])

    def _select_relevance_score_fn(self) -> Callable[[float], float]:
        """Scores as relevance in [0, 1] (higher is more relevant)."""
        if self._metric == "euclidean":
            return lambda s: 1.0 - math.sqrt(max(s, 0.0)) / math.sqrt(2)
        return lambda s: (1.0 + s) / 2.0

    # -- building, saving and loading -----------------------------------------

    @classmethod
    def from_texts(cls, texts: list[str], embedding: Embeddings,
                   metadatas: list[dict[str, Any]] | None = None, *,
                   ids: list[str] | None = None, **kwargs: Any) -> Self:
        """A new store holding the texts; ``metric=`` (default ``"cosine"``)
        among the keyword arguments."""
        store = cls(embedding, metric=kwargs.pop("metric", "cosine"))
        store.add_texts(texts, metadatas, ids=ids)
        return store

    def save(self, path: str | os.PathLike[str]) -> None:
        """Writes the store to a directory: the ``Index`` directory (see
        ``Index.save``), its attribute columns holding ids, texts and
        metadata.

        Raises:
            ValueError: nothing was ever added (the vectors' length is not
                known yet), or as ``Index.save``.
        """
        if self._index is None:
            raise ValueError("this vector store has no index yet; add texts before saving it")
        self._index.save(path)

    @classmethod
    def load(cls, path: str | os.PathLike[str], embedding: Embeddings,
             mmap: bool = True) -> LumveroVectorStore:
        """A store saved by ``save``, searched with ``embedding``.

        Raises:
            ValueError: as ``Index.load``, or an index without this store's
                columns (``key``, ``text``, ``metadata``).
        """
        index = Index.load(path, mmap=mmap)
        if len(index):
            names = index.get(index.ids()[:1], attrs=True)[1].column_names
            missing = [c for c in _COLUMNS if c not in names]
            if missing:
                raise ValueError(f"index directory {os.fspath(path)} has no column "
                                 f"{', '.join(missing)}: it was not saved by a vector store")
        return cls(embedding, index=index)

    # -- documents --------------------------------------------------------------

    def _documents(self, ids: np.ndarray[Any, np.dtype[np.int64]]) -> list[Document]:
        assert self._index is not None
        table = self._index.get(ids, attrs=True)[1]
        keys, texts, metas = (table.column(c).to_pylist() for c in _COLUMNS)
        return [Document(id=key, page_content=text, metadata=json.loads(meta))
                for key, text, meta in zip(keys, texts, metas)]


def _keys_and_metadata(texts: list[str], metadatas: list[dict[str, Any]] | None,
                       ids: Sequence[str | None] | None) -> tuple[list[str], list[Any]]:
    """Each text's id (a UUID4 where None) and metadata ({} by default)."""
    metas = list(metadatas) if metadatas is not None else [{} for _ in texts]
    given = list(ids) if ids is not None else [None] * len(texts)
    if len(metas) != len(texts) or len(given) != len(texts):
        raise ValueError(f"got {len(texts)} texts, {len(metas)} metadatas and {len(given)} "
                         f"ids; pass one of each per text")
    return [str(uuid.uuid4()) if i is None else str(i) for i in given], metas


def _where(filter: dict[str, Any] | None) -> tuple[str, list[object]] | None:
    """filter as a where= predicate: each top-level metadata key equal, as
    JSON, to the value given; values and keys are parameters, never SQL."""
    if filter is None:
        return None
    if not isinstance(filter, dict):
        raise TypeError(f"filter must be a dict of metadata key -> value; got "
                        f"{type(filter).__name__}")
    if not filter:
        return None
    sql: list[str] = []
    params: list[object] = []
    for key, value in filter.items():
        path = '$."' + str(key).replace("\\", "\\\\").replace('"', '\\"') + '"'
        sql.append("CAST(json_extract(metadata, ?) AS VARCHAR) = CAST(json(?) AS VARCHAR)")
        params += [path, json.dumps(value, sort_keys=True)]
    return " AND ".join(sql), params
