"""Lumvero in other libraries' interfaces: ``integrations.langchain`` (a
LangChain ``VectorStore`` on an ``Index``; ``pip install
lumvero[langchain]``). Each is imported on its own, so that this package
needs none of them."""
