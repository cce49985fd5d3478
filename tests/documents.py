"""Generated documents shaped like the three classic real-world JSON documents, for tests that need
a real document's shape and size without the files: `twitter_like` (nested statuses and users,
non-ASCII text, nulls and bools), `citm_like` (wide dicts keyed by numeric strings, many small
records, ints), `canada_like` (long lists of [lon, lat] float pairs). Deterministic for a seed;
`load(name)` returns the real document from ../shared/data when it is there, else the generated
one, and `pair(name)` two equal trees that share no objects."""

from __future__ import annotations

import json
import random
from pathlib import Path
from typing import Any

SHARED = Path(__file__).resolve().parents[2] / "shared" / "data"
WORDS = ["concert", "théâtre", "opéra", "Музыка", "音楽", "música", "jazz", "ballet", "cirque", "festival",
         "Zürich", "København", "night", "live", "🎻", "tour"]


def _text(rng: random.Random, words: int) -> str:
    return " ".join(rng.choice(WORDS) for _ in range(words))


def _user(rng: random.Random, uid: int) -> dict[str, Any]:
    return {
        "id": uid, "id_str": str(uid), "name": _text(rng, 2), "screen_name": f"user_{uid}",
        "location": rng.choice(["", "Paris", "東京", None]), "description": _text(rng, 8),
        "url": None if rng.random() < 0.5 else f"https://example.org/{uid}",
        "entities": {"description": {"urls": []}}, "protected": False,
        "followers_count": rng.randrange(10**5), "friends_count": rng.randrange(10**4),
        "created_at": "Sun Aug 31 00:29:15 +0000 2014", "verified": rng.random() < 0.1,
        "profile_background_color": "C0DEED", "default_profile": rng.random() < 0.5,
        "following": False, "notifications": None, "lang": rng.choice(["ja", "en", "fr"]),
    }


def twitter_like(seed: int = 1, statuses: int = 100) -> dict[str, Any]:
    rng = random.Random(seed)
    out = []
    for i in range(statuses):
        sid = 505874924095815681 + i * 7919
        out.append({
            "metadata": {"result_type": "recent", "iso_language_code": rng.choice(["ja", "en"])},
            "created_at": "Sun Aug 31 00:29:15 +0000 2014", "id": sid, "id_str": str(sid),
            "text": _text(rng, 12), "source": "<a href=\"https://example.org\">web</a>",
            "truncated": False, "in_reply_to_status_id": None if rng.random() < 0.7 else sid - 1,
            "in_reply_to_user_id": None, "in_reply_to_screen_name": None,
            "user": _user(rng, 1186275104 + i), "geo": None, "coordinates": None, "place": None,
            "contributors": None, "retweet_count": rng.randrange(100), "favorite_count": rng.randrange(100),
            "entities": {"hashtags": [{"text": rng.choice(WORDS), "indices": [0, 5]}], "symbols": [],
                         "urls": [], "user_mentions": []},
            "favorited": False, "retweeted": False, "lang": "ja",
        })
    return {"statuses": out, "search_metadata": {"completed_in": 0.087, "max_id": 505874924095815700,
                                                 "query": "%E4%B8%80", "count": statuses, "since_id": 0}}


def citm_like(seed: int = 1, events: int = 300) -> dict[str, Any]:
    rng = random.Random(seed)
    area_names = {str(205705993 + i): _text(rng, 2) for i in range(20)}
    events_out = {}
    performances = []
    for i in range(events):
        eid = 138586341 + i * 3
        events_out[str(eid)] = {"description": None, "id": eid, "logo": None if rng.random() < 0.6 else f"/img/{eid}.png",
                                "name": _text(rng, 3), "subTopicIds": [337184269, 337184283],
                                "subjectCode": None, "subtitle": None, "topicIds": [324846099, 107888604]}
        performances.append({
            "eventId": eid, "id": 339887544 + i, "logo": None, "name": None,
            "prices": [{"amount": rng.choice([66500, 90250, 28500]), "audienceSubCategoryId": 337100890,
                        "seatCategoryId": 338937295 + k} for k in range(rng.randrange(1, 4))],
            "seatCategories": [{"areas": [{"areaId": 205705999 + k, "blockIds": []} for k in range(3)],
                                "seatCategoryId": 338937295}],
            "seatMapImage": None, "start": 1372615200000 + i * 86400000, "venueCode": "PLEYEL_PLEYEL",
        })
    return {"areaNames": area_names, "audienceSubCategoryNames": {"337100890": "Abonné"},
            "blockNames": {}, "events": events_out, "performances": performances,
            "seatCategoryNames": {str(338937295 + k): _text(rng, 1) for k in range(10)},
            "subTopicNames": {"337184262": "Musique amplifiée", "337184263": "Musique baroque"},
            "subjectNames": {}, "topicNames": {"107888604": "Activité", "324846098": "Type de public"},
            "topicSubTopics": {"107888604": [337184283, 337184263]}, "venueNames": {"PLEYEL_PLEYEL": "Salle Pleyel"}}


def canada_like(seed: int = 1, rings: int = 20, points: int = 500) -> dict[str, Any]:
    rng = random.Random(seed)
    coordinates = [[[round(-65.6 + rng.uniform(-10, 10), 13), round(43.4 + rng.uniform(-5, 5), 13)]
                    for _ in range(points)] for _ in range(rings)]
    return {"type": "FeatureCollection", "features": [{"type": "Feature", "properties": {"name": "Canada"},
                                                       "geometry": {"type": "Polygon", "coordinates": coordinates}}]}


GENERATED = {"twitter": twitter_like, "citm_catalog": citm_like, "canada": canada_like}


def load(name: str) -> Any:
    """The real document `name` ("twitter", "citm_catalog", "canada") if it is at hand, else the
    generated one of the same shape."""
    path = SHARED / f"{name}.json"
    if path.is_file():
        return json.loads(path.read_text(encoding="utf-8"))
    return GENERATED[name]()


def pair(name: str) -> tuple[Any, Any]:
    """Two equal trees of the document that share no objects."""
    text = json.dumps(load(name))
    return json.loads(text), json.loads(text)
