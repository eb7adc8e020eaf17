"""Daily bars.  No price store is attached yet, so there are never any bars."""


def get_price(order_book_ids, start_date, end_date, fields=None, adjust_type="pre",
              expect_df=True):
    """Daily bars of ``order_book_ids`` from ``start_date`` to ``end_date``.

    Returns ``None``: this client has no price store yet.
    """
    return None
